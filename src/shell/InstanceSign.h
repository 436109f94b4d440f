// The sign that a first copy's main window exists, so that a second copy refuses to start.
#pragma once

#include <string>

namespace lintaro {

class InstanceSign {
public:
    InstanceSign();
    ~InstanceSign();
    InstanceSign(const InstanceSign&) = delete;
    InstanceSign& operator=(const InstanceSign&) = delete;

    // Takes the sign for this copy; false when another copy holds it.
    bool TryAcquire();
    void Release();
    // Whether this copy holds the sign (TryAcquire may let it run without one).
    bool Held() const;

    // Why the sign could not be taken although no other copy was found (then TryAcquire
    // gave true and the program runs without it); empty otherwise.
    const std::string& Problem() const { return FProblem; }

private:
    long long FHandle;
    std::string FProblem;
};

}  // namespace lintaro
