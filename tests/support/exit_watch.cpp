// Bounds the time a test program may take to exit once its tests are done.
// A sanitizer report raised while the process exits (a thread still freeing
// what the exit handlers already tore down) can deadlock in the middle of
// being written; without this the test would sit there until ctest's
// time-out. SIGALRM ends it instead, with whatever the report managed to say
// already on stderr.
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

constexpr unsigned kExitSeconds = 60;

class ExitWatch : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest&) override { ::alarm(kExitSeconds); }
};

// Linked as an object file into every test program, so this runs before main.
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ExitWatch);
    return true;
}();

}  // namespace
