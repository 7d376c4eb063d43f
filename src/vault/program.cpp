#include "vault/program.h"

#include <openssl/crypto.h>

#include "memory/secret.h"
#include "state/process.h"
#include "store/db.h"

void start_program() {
    install_alloc_failure_handler();
    harden_process();
    use_wiped_stdio();
    db_use_wiping_heap();
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS, nullptr);
}
