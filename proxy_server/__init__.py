"""The OpenAI-format server's package (installed as ``tessel_openai_server``)."""
