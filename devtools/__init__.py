"""Development tools: the local PostgreSQL server used by the tests, the demo and the benchmarks."""
