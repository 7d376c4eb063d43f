// Any file handed to kesp as a container: the detection test and the whole
// decryption path up to the MAC check, with a fixed password. Whatever the
// bytes, decryption must refuse cleanly and leave the file as it was.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "container/container.h"
#include "container/crypt.h"
#include "fuzz_check.h"
#include "fuzz_files.h"
#include "state/files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string path = fuzz::work_folder() + "/c";
    fuzz::write_whole(path, data, size);

    // The magic 148 bytes before the end makes a container, unless the file
    // starts with SQLite's header: then it is a plain database.
    bool magic_in_place = size >= 148 && std::memcmp(data + size - 148, "FuI3", 4) == 0 &&
                          !starts_with_sqlite_header(data, size);
    FUZZ_CHECK(is_encrypted_file(path.c_str()) == magic_in_place);
    FUZZ_CHECK(container_magic_at(path.c_str()) == std::optional<bool>(magic_in_place));

    // Forging the MAC would take the key, so decryption never succeeds here.
    FUZZ_CHECK(!decrypt_file("fuzz password", path.c_str()));
    std::string after = fuzz::read_whole(path);
    FUZZ_CHECK(after.size() == size && std::memcmp(after.data(), data, size) == 0);
    FUZZ_CHECK(!fuzz::exists(path + ".plain"));
    FUZZ_CHECK(decrypt_to_memory("fuzz password", path.c_str()).status != decrypt_status::ok);
    return 0;
}
