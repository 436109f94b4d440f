// The sign that a first copy's main window exists, so that a second copy refuses to start.
#pragma once

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

private:
    long long FHandle;
};

}  // namespace lintaro
