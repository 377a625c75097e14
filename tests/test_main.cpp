#include <windows.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // No error dialogs from this process or the children it starts (they inherit it).
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
