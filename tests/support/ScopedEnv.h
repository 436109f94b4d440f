// An environment variable set for one scope and put back as it was afterwards.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace lintaro::test {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : FName(name), FOld(qgetenv(name)), FWasSet(qEnvironmentVariableIsSet(name)) {
        qputenv(name, value);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (FWasSet) {
            qputenv(FName, FOld);
        } else {
            qunsetenv(FName);
        }
    }

private:
    const char* FName;
    QByteArray FOld;
    bool FWasSet;
};

}  // namespace lintaro::test
