// The helper's file copy: made with the caller's file-system credentials and descriptors only,
// so that it reads and writes nothing the caller could not.
//
// Contract:
// - CopyAsCaller switches the calling thread's file-system user, group and supplementary
//   groups to the caller's for the copy and back afterwards (other threads keep theirs). When
//   that is impossible (the helper is not root and the caller is someone else) nothing is
//   touched and the copy is refused.
// - SecureCopy refuses relative, empty or over-long paths and "." or ".." components; a
//   symbolic link as any component of either path; a source that is not a regular file
//   (directories, devices, FIFOs, sockets) or has more than one link; an existing destination
//   that is not a regular file owned by `callerUid`. It copies through a temporary file beside
//   the destination (made by the kernel with copy_file_range where it can; the source's holes
//   stay holes), gives it the source's permission bits without set-user-ID, set-group-ID or
//   sticky bits, and renames it over the destination. Any name Linux allows is a name here,
//   line breaks and other control characters included. On failure nothing is left behind.
// - The result's text is the helper's reply: "Copied SOURCE to DEST." or "Refused: REASON.".
// - Blocking; any thread, each copy on its own thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace vrk::helper {

struct Caller {
  uid_t uid = 0;
  gid_t gid = 0;
  pid_t pid = 0;
  std::vector<gid_t> groups;
};

struct CopyResult {
  bool copied = false;
  std::string reply;
};

CopyResult SecureCopy(std::string_view source, std::string_view destination, uid_t callerUid);
CopyResult CopyAsCaller(const Caller& caller, std::string_view source,
                        std::string_view destination);

}  // namespace vrk::helper
