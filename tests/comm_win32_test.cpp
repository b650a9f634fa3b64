// The Win32 serial backend under Wine, against a pty pair linked as two COM ports.
#include <gtest/gtest.h>

#include "platform/comm.h"
