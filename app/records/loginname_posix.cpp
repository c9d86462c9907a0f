#include "loginname.h"

#include <pwd.h>
#include <unistd.h>

QString loginName() {
    // The account, not $USER: su and sudo keep the caller's environment.
    if (const passwd *pw = getpwuid(geteuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    const QString env = qEnvironmentVariable("USER");
    return env.isEmpty() ? QStringLiteral("uid%1").arg(geteuid()) : env;
}
