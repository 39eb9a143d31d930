"""zelk_sdk: the SDK that computer-vision applications import on edge devices."""

__version__ = "0.1.0"
