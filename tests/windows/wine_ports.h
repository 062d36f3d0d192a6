// The COM ports scripts/windows_tests.sh maps in the test prefix: two simulated devices, and a
// port whose device path does not exist.
#pragma once

#define DEVICE_PORT "\\\\.\\com3"
#define SECOND_DEVICE_PORT "\\\\.\\com12"
#define DEAD_PORT "\\\\.\\com9"
