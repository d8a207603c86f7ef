// Stands in for libcrypto on a machine that has none usable: a library of that name that
// offers none of its functions.
extern "C" {
int parvex_no_crypto = 0;
}
