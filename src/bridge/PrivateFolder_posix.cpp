#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bridge/PrivateFolder.h"

namespace lintaro {

namespace {

std::string Reason(int error) {
    return std::strerror(error);
}

// Only the owner may enter, list or change it.
bool ClosedToOthers(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// A parent that another user could rename our folder out of (and put their own in its
// place) does not do: it must be ours or root's, and sticky when others may write to it.
bool SafeParent(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != ::geteuid() && st.st_uid != 0) return false;
    return (st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// The user's home: $HOME, else the account's entry.
std::string Home() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    const passwd* account = ::getpwuid(::geteuid());
    return account != nullptr && account->pw_dir != nullptr ? account->pw_dir : "";
}

// A home may be shared by several machines: each gets a folder of its own, as a runtime
// folder would be.
std::string HostName() {
    struct utsname names {};
    const std::string host = ::uname(&names) == 0 ? names.nodename : "";
    if (host.empty() || host[0] == '.' || host.find('/') != std::string::npos) return "";
    return host;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

PrivateFolder::~PrivateFolder() {
    if (FFd >= 0) ::close(FFd);
}

bool PrivateFolder::Fail(const std::string& what) {
    FProblem = what;
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    return false;
}

bool PrivateFolder::Open() {
    if (FFd >= 0) return true;
    std::string parent;
    std::string name;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' &&
        ::lstat(WithoutTrailingSlashes(runtime).c_str(), &st) == 0 && ClosedToOthers(st)) {
        parent = WithoutTrailingSlashes(runtime);
        name = "lintaro";
    } else {
        // A shared folder such as /tmp will not do: another user can take any name in it
        // first. The cache folder in the user's home is made when missing.
        const std::string home = WithoutTrailingSlashes(Home());
        if (home.empty() || home[0] != '/') return Fail("the user has no home folder");
        parent = (home == "/" ? "" : home) + "/.cache";
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            return Fail("cannot create \"" + parent + "\": " + Reason(errno));
        }
        const std::string host = HostName();
        name = host.empty() ? "lintaro" : "lintaro-" + host;
    }
    FPath = (parent == "/" ? "" : parent) + "/" + name;
    // Everything below goes through the parent's descriptor: the folder that was checked
    // is the one the name is looked up in.
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return Fail("cannot open \"" + parent + "\": " + Reason(errno));
    struct ParentCloser {
        int fd;
        ~ParentCloser() { ::close(fd); }
    } parentCloser{parentFd};
    if (::fstat(parentFd, &st) != 0) {
        return Fail("cannot examine \"" + parent + "\": " + Reason(errno));
    }
    if (!SafeParent(st)) {
        return Fail("the folder \"" + parent + "\" is open to other users without protection");
    }
    if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
        return Fail("cannot create \"" + FPath + "\": " + Reason(errno));
    }
    // O_NOFOLLOW: a link planted under the name is refused, not followed.
    FFd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (FFd < 0) return Fail("cannot open \"" + FPath + "\": " + Reason(errno));
    if (::fstat(FFd, &st) != 0) return Fail("cannot examine \"" + FPath + "\": " + Reason(errno));
    if (st.st_uid != ::geteuid()) {
        return Fail("\"" + FPath + "\" belongs to another user (uid " + std::to_string(st.st_uid) +
                    ")");
    }
    if (!ClosedToOthers(st)) {
        return Fail("\"" + FPath + "\" is open to other users");
    }
    FPath += '/';
    FProblem.clear();
    return true;
}

}  // namespace lintaro
