// Compiled with the handlers' include rules: the build must refuse this file.
#include <curl/curl.h>

int probe() { return CURLE_OK; }
