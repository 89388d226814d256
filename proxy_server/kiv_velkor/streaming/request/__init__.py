"""What a request asks of the runtime, checked and put in the runtime's terms:
its messages and images, the answer's rules, sampling, limits and the prompt's
token count."""
