"""End-to-end tests: the real modules driving the real-engine runtimes (llama.cpp, PocketSphinx)."""
