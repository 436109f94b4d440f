// A folder that belongs to this user alone (POSIX). Files that another local user must
// not be able to prepare or change live here: the configuration program's copy and the
// single-instance sign. Windows keeps them in the per-user temporary folder instead.
#pragma once

#include <string>

namespace lintaro {

// "$XDG_RUNTIME_DIR/lintaro" when the runtime folder is the user's own, otherwise
// "$HOME/.cache/lintaro-<host name>" (a name no other user can take first). Created mode
// 0700 when missing; an existing one counts only when it is a real folder (no link), owned
// by this user, closed to everyone else, and sits in a folder that others cannot rename it
// out of.
class PrivateFolder {
public:
    PrivateFolder() = default;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder();

    // Opens (or creates) the folder. False when it cannot be had; Problem() says why.
    bool Open();

    // The open folder (a descriptor for the *at() calls) and its path with a trailing '/'.
    int Fd() const { return FFd; }
    const std::string& Path() const { return FPath; }
    const std::string& Problem() const { return FProblem; }

private:
    bool Fail(const std::string& what);

    int FFd = -1;
    std::string FPath;
    std::string FProblem;
};

}  // namespace lintaro
