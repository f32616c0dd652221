#include <gtest/gtest.h>

#include "UsbSeam.h"
