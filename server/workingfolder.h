#pragma once

// Until main's window and script commands include platformfiles.h themselves.
#include "platformfiles.h"
