#include <fcntl.h>
#include <sys/stat.h>
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
bool SafeParent(const std::string& parent) {
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != ::geteuid() && st.st_uid != 0) return false;
    return (st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0;
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
        const char* temp = std::getenv("TMPDIR");
        parent = WithoutTrailingSlashes(temp != nullptr && temp[0] == '/' ? temp : "/tmp");
        name = "lintaro-" + std::to_string(::geteuid());
    }
    FPath = (parent == "/" ? "" : parent) + "/" + name;
    if (!SafeParent(parent)) {
        return Fail("the folder \"" + parent + "\" is open to other users without protection");
    }
    if (::mkdir(FPath.c_str(), 0700) != 0 && errno != EEXIST) {
        return Fail("cannot create \"" + FPath + "\": " + Reason(errno));
    }
    // O_NOFOLLOW: a link planted under the name is refused, not followed.
    FFd = ::open(FPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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
