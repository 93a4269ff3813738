// The version compiled into the core library is the project's version: the test
// gets the one CMake's project() holds as its argument.
#include <cstdio>
#include <cstring>

#include "strikewell_version.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: version_test PROJECT-VERSION\n");
    return 2;
  }
  if (std::strcmp(strikewell::kReleaseVersion, argv[1]) != 0) {
    std::fprintf(stderr, "compiled version \"%s\", project version \"%s\"\n",
                 strikewell::kReleaseVersion, argv[1]);
    return 1;
  }
  std::printf("version %s\n", strikewell::kReleaseVersion);
  return 0;
}
