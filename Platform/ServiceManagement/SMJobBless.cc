// SMJobBless in the emulated root: checks the bundle's and the helper's claims about each other,
// copies the helper and writes its job, each file atomically.
#include "Platform/ServiceManagement/SMJobBless.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/UniqueFd.h"
#include "Platform/XPC/Launchd.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;

bool Fail(CFErrorRef* error, int code, std::string_view why) {
  NSLog("[ServiceManagement] SMJobBless: %s", why);
  if (error) *error = MakeError(kSMErrorDomainLaunchd, code);
  return false;
}

std::string XmlEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void WriteXml(const Object& o, std::string& out, int indent) {
  std::string pad(indent, '\t');
  switch (o.kind()) {
    case Object::Kind::String:
      out += pad + "<string>" + XmlEscape(*o.string()) + "</string>\n";
      break;
    case Object::Kind::Number:
      if (o.numberType() == Object::NumberType::Bool) {
        out += pad + (o.boolValue() ? "<true/>\n" : "<false/>\n");
      } else {
        out += pad + "<integer>" + std::to_string(o.integerValue()) + "</integer>\n";
      }
      break;
    case Object::Kind::Array:
      out += pad + "<array>\n";
      for (const Object& e : *o.array()) WriteXml(e, out, indent + 1);
      out += pad + "</array>\n";
      break;
    case Object::Kind::Dictionary:
      out += pad + "<dict>\n";
      for (const auto& [k, v] : *o.dictionary()) {
        out += pad + "\t<key>" + XmlEscape(k) + "</key>\n";
        WriteXml(v, out, indent + 1);
      }
      out += pad + "</dict>\n";
      break;
    default:
      break;  // the job holds no other kinds
  }
}

std::string PropertyListXml(const Object& root) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
  WriteXml(root, out, 0);
  return out + "</plist>\n";
}

// Writes a file of `mode` at `target` through a temporary file beside it and a rename. The
// contents come from `fill`, which writes into the temporary descriptor.
template <typename Fill>
bool WriteAtomically(const fs::path& target, mode_t mode, Fill fill, std::string* why) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  std::random_device rd;
  fs::path tmp = target.parent_path() /
                 ("." + target.filename().string() + "." + std::to_string(rd()) + ".tmp");
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    *why = "cannot create " + tmp.string() + ": " + std::strerror(errno);
    return false;
  }
  bool ok = fill(fd.get()) && ::fchmod(fd.get(), mode) == 0 && ::fsync(fd.get()) == 0;
  if (ok) ok = ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    *why = "cannot write " + target.string() + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
  }
  return ok;
}

// True when `requirement` names `identifier`: either the identifier itself or a code
// requirement with `identifier "ID"` in it.
bool RequirementNames(std::string_view requirement, std::string_view identifier) {
  if (requirement == identifier) return true;
  const std::string quoted = "identifier \"" + std::string(identifier) + "\"";
  return requirement.find(quoted) != std::string_view::npos;
}

}  // namespace

bool SMJobBless(std::string_view domain, std::string_view label, AuthorizationRef auth,
                CFErrorRef* error) {
  if (error) *error = nullptr;
  if (domain != kSMDomainSystemLaunchd) {
    return Fail(error, kSMErrorInternalFailure, "only the system domain is supported");
  }
  if (label.empty() || label.find('/') != std::string_view::npos || label.front() == '.') {
    return Fail(error, kSMErrorToolNotValid, "the label is not a file name");
  }
  if (!AuthorizationHasRight(auth, kSMRightBlessPrivilegedHelper)) {
    return Fail(error, kSMErrorAuthorizationFailure, "the authorization lacks the bless right");
  }
  auto bundle = NSBundle::mainBundle();
  const std::string labelString(label);
  Object info = bundle->infoDictionary();
  if (info.objectForKey("SMPrivilegedExecutables").objectForKey(label).isNil()) {
    return Fail(error, kSMErrorToolNotValid,
                "the application's Info.plist does not list " + labelString +
                    " under SMPrivilegedExecutables");
  }
  const fs::path services = fs::path(bundle->bundlePath()) / "Contents/Library/LaunchServices";
  const fs::path helper = services / labelString;
  struct stat st;
  if (::stat(helper.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) {
    return Fail(error, kSMErrorToolNotValid, "no helper executable at " + helper.string());
  }
  Object helperInfo = PropertyListWithContentsOfFile(services / (labelString + "-Info.plist"));
  auto clientId = bundle->bundleIdentifier();
  bool clientListed = false;
  if (const ObjectArray* clients = helperInfo.objectForKey("SMAuthorizedClients").array()) {
    for (const Object& c : *clients) {
      if (c.string() && clientId && RequirementNames(*c.string(), *clientId)) clientListed = true;
    }
  }
  if (helperInfo.objectForKey("CFBundleIdentifier").stringOrNil() != labelString || !clientListed) {
    return Fail(error, kSMErrorInvalidSignature,
                "the helper's Info.plist does not name it or does not authorize this client");
  }
  Object job = PropertyListWithContentsOfFile(services / (labelString + "-Launchd.plist"));
  if (!job.dictionary() || job.objectForKey("Label").stringOrNil() != labelString) {
    return Fail(error, kSMErrorInvalidPlist,
                "the helper's launchd property list is missing or bad");
  }

  // The installed job: the helper's own description, pointed at the installed copy.
  const std::string program = "/Library/PrivilegedHelperTools/" + labelString;
  ObjectDictionary installed = *job.dictionary();
  ObjectArray args{Object(program)};
  if (const ObjectArray* given = job.objectForKey("ProgramArguments").array()) {
    for (std::size_t i = 1; i < given->size(); ++i) args.push_back((*given)[i]);
  }
  installed["Program"] = Object(program);
  installed["ProgramArguments"] = Object(std::move(args));
  ObjectDictionary env;
  if (const ObjectDictionary* given = job.objectForKey("EnvironmentVariables").dictionary()) {
    env = *given;
  }
  env["VRK_BLESSING_UID"] = Object(std::to_string(::getuid()));
  installed["EnvironmentVariables"] = Object(std::move(env));

  std::string why;
  const fs::path tool = emulated::Resolve(program);
  UniqueFd source(::open(helper.c_str(), O_RDONLY | O_CLOEXEC));
  auto copy = [&](int out) {
    off_t offset = 0;
    while (offset < st.st_size) {
      ssize_t n = ::sendfile(out, source.get(), &offset, static_cast<size_t>(st.st_size - offset));
      if (n <= 0) return false;
    }
    return true;
  };
  if (!source || !WriteAtomically(tool, 0544, copy, &why)) {
    return Fail(error, kSMErrorInternalFailure, why);
  }
  const fs::path plist = emulated::Resolve("/Library/LaunchDaemons/" + labelString + ".plist");
  const std::string xml = PropertyListXml(Object(std::move(installed)));
  if (!WriteAtomically(
          plist, 0644, [&](int out) { return WriteAll(out, xml); }, &why)) {
    return Fail(error, kSMErrorInternalFailure, why);
  }
  if (!launchd::LoadJob(plist, &why)) return Fail(error, kSMErrorInvalidPlist, why);
  return true;
}

}  // namespace vrk
