"""Model fetch and classification."""
