/* A stand-in for Windows 10's bcryptprimitives.dll, which Wine 8 lacks and Bun for
   Windows needs: only ProcessPrng, which fills the buffer from the system's generator. */
#include <windows.h>
#include <bcrypt.h>

BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
  return BCryptGenRandom(NULL, data, (ULONG)size, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}
