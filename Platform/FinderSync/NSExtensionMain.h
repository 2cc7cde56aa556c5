// The extension runtime: the registry of principal classes and NSExtensionMain, the entry point
// of an extension executable.
//
// Contract:
// - RegisterPrincipalClass(name, factory) makes `factory` the way to create the class named
//   `name` (the NSExtensionPrincipalClass of an Info.plist). It may run from a static
//   initializer; it returns false, keeping the first, when the name is already registered.
//   Thread-safe.
// - NSExtensionMain(argc, argv) runs an extension started by a file manager host: it reads the
//   main bundle's Info.plist (NSExtension -> NSExtensionPointIdentifier "com.apple.FinderSync",
//   NSExtensionPrincipalClass), connects to the host over the descriptor named by
//   VRK_FINDER_FD, installs the host's controller as FIFinderSyncController's default, creates
//   the principal object, tells the host it is ready and runs the main run loop. When the host
//   goes away it releases the principal object (its destructor runs on the main thread), drops
//   the connection and returns 0. It returns 1, with a log line, when any of the set-up fails
//   (no bundle information, an unknown class, a factory that yields null, no host). Call it
//   once, from main().
// - The library vrk_nsextension_main supplies a main() that only calls NSExtensionMain, for
//   executables that, like a macOS extension, have no main routine of their own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Platform/FinderSync/FIFinderSync.h"

namespace vrk {

using PrincipalClassFactory = std::function<std::shared_ptr<FIFinderSync>()>;

bool RegisterPrincipalClass(std::string name, PrincipalClassFactory factory);
// Creates an object of the registered class; null when the name is unknown or the factory
// yields null.
std::shared_ptr<FIFinderSync> CreatePrincipalObject(std::string_view name);

int NSExtensionMain(int argc, char** argv);

}  // namespace vrk
