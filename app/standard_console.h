#pragma once

#include "console/console.h"

// Standard output (unbuffered), standard input and the platform's raw key read: the console an
// operator sees, installed by the entry.
console& standard_console();
