// The test programs' main: GoogleTest's own, under a umask of 022 whatever the shell that starts
// them has. The modes the tests expect of extracted and installed files are those it gives; a test
// of another umask sets its own for its time.
#include <gtest/gtest.h>
#include <sys/stat.h>

int main(int argc, char** argv) {
  ::umask(022);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
