#include "Quorin.h"
