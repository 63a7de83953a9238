// The executable's entry: hands the arguments (without the program's own path) over.
#include <string>
#include <vector>

#include "VelkarnProgram.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return VelkarnMain(args);
}
