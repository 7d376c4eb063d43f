#include "state/test_hooks.h"

#ifdef KESP_TEST_HOOKS
#include <csignal>
#include <cstdlib>
#include <cstring>

void test_stop_point(const char *point) {
    const char *wanted = std::getenv("KESP_TEST_STOP_AT");
    if (wanted != nullptr && std::strcmp(wanted, point) == 0) ::raise(SIGSTOP);
}

bool test_named_temp_only() {
    return std::getenv("KESP_TEST_NAMED_TEMP") != nullptr;
}
#else
void test_stop_point(const char *) {}

bool test_named_temp_only() {
    return false;
}
#endif
