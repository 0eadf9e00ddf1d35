// tollcount: counts the pages, copies, colour and duplex of spool files.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/tollcount/tollcount.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i)
    args.push_back(platform::system().MultiByteToWideChar(platform::CP_UTF8, argv[i]));
  return tollgate::tollcount::TollcountMain(args);
}
