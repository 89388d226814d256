"""End-to-end tests: the real modules driving the reference runtimes."""
