"""Redis helpers of the SDK."""
