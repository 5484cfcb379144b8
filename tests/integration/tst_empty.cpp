// A library that is not a stream driver: it exports none of the entry points.
extern "C" int tst_empty_marker() { return 42; }
