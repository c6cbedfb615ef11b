#pragma once

#include <QString>

#include <sys/types.h>

// A user as the operator is told about one: "name (uid N)", or "uid N" for
// an account that has no name.
QString userName(uid_t uid);
