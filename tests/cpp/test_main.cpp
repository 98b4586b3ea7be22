// The entry point of every C++ test executable (doctest's runner).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>
