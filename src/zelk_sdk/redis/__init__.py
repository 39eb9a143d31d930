"""Redis helpers of the SDK."""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from zelk_sdk.redis.wrapper import ZelkRedis as ZelkRedis


def __getattr__(name: str) -> Any:
    # the wrapper needs redis-py, which the rest of the package does not
    if name == "ZelkRedis":
        from zelk_sdk.redis.wrapper import ZelkRedis

        return ZelkRedis
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
