#include <string>
#include <vector>

#include "service/entry_point.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return tb::RunEntryPoint(args);
}
