"""Redis helpers of the SDK."""


def __getattr__(name: str):
    # the wrapper needs redis-py, which the rest of the package does not
    if name == "ZelkRedis":
        from zelk_sdk.redis.wrapper import ZelkRedis

        return ZelkRedis
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
