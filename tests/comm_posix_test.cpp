// The POSIX serial backend against pty pairs.
#include <gtest/gtest.h>

#include "platform/comm.h"
