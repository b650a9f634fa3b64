// The mode-string parser against the grammar of Win32's BuildCommDCB.
#include <gtest/gtest.h>

#include "platform/mode_string.h"
