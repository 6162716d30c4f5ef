// The desktop tests' entry point: runs the tests inside a private desktop session started by
// scripts/desktop-session.sh, unless they already run in one (or only list their names).

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) {
    listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
  }
  if (!listing && !std::getenv("QOR_DESKTOP_SESSION")) {
    char self[PATH_MAX] = {};
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
      std::vector<char*> command = {const_cast<char*>(QOR_SESSION_SCRIPT), const_cast<char*>("--"),
                                    self};
      command.insert(command.end(), argv + 1, argv + argc);
      command.push_back(nullptr);
      execv(QOR_SESSION_SCRIPT, command.data());
    }
    std::perror("desktop tests: cannot start the desktop session");
    return 125;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
