// The main routine of an extension executable, which supplies none of its own: as on macOS,
// the extension runtime's NSExtensionMain is the entry point.
#include "Platform/FinderSync/NSExtensionMain.h"

int main(int argc, char** argv) {
  return vrk::NSExtensionMain(argc, argv);
}
