// A running board on its pseudo-terminal, spoken to over a real serial port.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

int main() { return 0; }
