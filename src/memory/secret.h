// Memory: allocation that never fails quietly, and owners of secrets.
//
// Every allocation of the program either succeeds or ends the process with
// "Malloc failed. Abort.\n" on standard error and abort(), so no caller tests
// for failure. Secrets (master and entry passwords, keys, plain database
// bytes, texts that hold a password) live in one of the owners below, which
// wipe their bytes with OPENSSL_cleanse before the memory is given back:
//   wiped_array<N>   fixed bytes inside the object (stack or member)
//   wiped_buffer     heap bytes of a size fixed at construction
//   secret_string    a growable NUL-terminated text on the heap
// Plain C texts that hold a secret are released with free_secret_text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

// "Malloc failed. Abort.\n" on standard error, then abort().
[[noreturn]] void out_of_memory();

// Makes operator new fail the same way. Called first thing in every main.
void install_alloc_failure_handler();

// Heap block of `size` bytes (one byte for 0); never nullptr.
void *xmalloc(std::size_t size);

// Owned copy of the NUL-terminated `text` through xmalloc.
char *xstrdup(const char *text);

// Overwrites `size` bytes at `data` in a way the compiler cannot drop.
void wipe(void *data, std::size_t size);

// Wipes as `wipe` does, but of a big block only the pages in use, in
// memory or on swap: a page never written holds nothing, and faulting it
// in only to wipe it costs its memory (a whole reserve that was never
// used). A page on swap is wiped too, since a block in the heap may be
// handed out again and bring it back. Small blocks, or where the kernel
// cannot tell, are wiped whole.
void wipe_resident(void *data, std::size_t size);

// Wipes `size` bytes at `block` (from xmalloc) and frees it; nullptr is fine.
void free_secret(void *block, std::size_t size);

// Wipes a NUL-terminated text (from xmalloc) and frees it; nullptr is fine.
void free_secret_text(char *text);

// Called by free_secret (and so by wiping_free) with every block just
// before it is freed, after the wipe. Lets tests see that what is given
// back holds no secret, and how much is given back; nullptr (the default)
// for none.
using release_observer = void (*)(const void *block, std::size_t size);
void set_release_observer(release_observer observer);

// Asks for huge pages under a big block (2 MiB or more): one page fault per
// 2 MiB instead of one per 4 KiB. Only a hint: without them nothing changes
// but the time.
void hint_huge_pages(void *data, std::size_t size);

// Fixed bytes wiped when the object goes away; zero-filled at first.
template <std::size_t N, typename T = unsigned char>
struct wiped_array {
    T data[N] = {};
    wiped_array() = default;
    wiped_array(const wiped_array &) = delete;
    wiped_array &operator=(const wiped_array &) = delete;
    ~wiped_array() { wipe(data, sizeof data); }
};

// Heap bytes, wiped before they are freed.
class wiped_buffer {
public:
    explicit wiped_buffer(std::size_t size)
        : data_(static_cast<unsigned char *>(xmalloc(size))), size_(size) {}
    // Takes `block` (from xmalloc, `size` bytes or more) as its own.
    struct adopt_block {};
    wiped_buffer(adopt_block, unsigned char *block, std::size_t size) : data_(block), size_(size) {}
    ~wiped_buffer() { free_secret(data_, size_ > 0 ? size_ : 1); }
    wiped_buffer(const wiped_buffer &) = delete;
    wiped_buffer &operator=(const wiped_buffer &) = delete;

    unsigned char *data() { return data_; }
    const unsigned char *data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    unsigned char *data_;
    std::size_t size_;
};

// A standard allocator whose blocks come from `Blocks::take(bytes)` and go
// back through `Blocks::give_back(block, bytes)`.
template <typename T, typename Blocks>
struct block_allocator {
    using value_type = T;
    block_allocator() = default;
    template <typename U>
    block_allocator(const block_allocator<U, Blocks> &) {}
    T *allocate(std::size_t n) { return static_cast<T *>(Blocks::take(n * sizeof(T))); }
    void deallocate(T *p, std::size_t n) { Blocks::give_back(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const block_allocator<U, Blocks> &) const { return true; }
};

// Blocks wiped on release: a container that grows gives back its old block
// wiped too.
struct wiped_blocks {
    static void *take(std::size_t size) { return xmalloc(size); }
    static void give_back(void *block, std::size_t size) { free_secret(block, size); }
};
template <typename T>
using wiping_allocator = block_allocator<T, wiped_blocks>;

// Blocks for big arrays that hold no secret: huge pages under them where
// the system has some, so that filling them costs few faults.
struct huge_page_blocks {
    static void *take(std::size_t size) {
        void *block = xmalloc(size);
        hint_huge_pages(block, size);
        return block;
    }
    static void give_back(void *block, std::size_t) { std::free(block); }
};
template <typename T>
using huge_page_allocator = block_allocator<T, huge_page_blocks>;

// A NUL-terminated text held on the heap only (std::string would keep a
// short text inside the object, where no allocator can wipe it). Its block
// is wiped whenever it is given back, also when the text grows.
class secret_string {
public:
    secret_string() = default;
    secret_string(std::string_view text) { append(text); }
    secret_string(const char *text) : secret_string(std::string_view(text)) {}
    secret_string(const secret_string &other) : secret_string(other.view()) {}
    secret_string &operator=(const secret_string &other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    secret_string(secret_string &&other) noexcept { swap(other); }
    secret_string &operator=(secret_string &&other) noexcept {
        swap(other);  // our old block goes with `other`, wiped when it goes
        return *this;
    }
    // Wipes the bytes ever written, not the whole block: a large reserve
    // that was never used is not touched (and faulted in) only to be wiped.
    ~secret_string() { free_secret(data_, touched_); }

    const char *c_str() const { return data_ != nullptr ? data_ : ""; }
    char *data() {
        if (data_ == nullptr) reserve(0);
        return data_;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {c_str(), size_}; }
    operator std::string_view() const { return view(); }

    void reserve(std::size_t size) {
        if (size + 1 > capacity_) move_to(size + 1);
    }
    void clear() {
        if (data_ != nullptr) wipe(data_, size_ + 1);
        size_ = 0;
    }
    // Empties the text without wiping it, for a buffer about to be written
    // over: its bytes are wiped when the block is given back.
    void rewind() {
        if (data_ != nullptr) data_[0] = '\0';
        size_ = 0;
    }
    void assign(std::string_view text) {
        clear();
        append(text);
    }
    // `text` must not point into this string. A listing appends many short
    // pieces, so this is a plain copy into room that grows geometrically.
    secret_string &append(std::string_view text) {
        if (text.size() >= SIZE_MAX / 2 - size_) out_of_memory();  // no size overflows
        std::size_t needed = size_ + text.size() + 1;
        if (needed > capacity_) move_to(needed > 2 * capacity_ ? needed : 2 * capacity_);
        if (!text.empty()) std::memcpy(data_ + size_, text.data(), text.size());
        size_ += text.size();
        data_[size_] = '\0';
        if (size_ + 1 > touched_) touched_ = size_ + 1;
        return *this;
    }
    secret_string &operator+=(std::string_view text) { return append(text); }
    secret_string &operator+=(char c) { return append({&c, 1}); }

    friend bool operator==(const secret_string &a, std::string_view b) { return a.view() == b; }

private:
    void swap(secret_string &other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(touched_, other.touched_);
    }
    // Into a block of `capacity` bytes; the old one is wiped and freed.
    void move_to(std::size_t capacity) {
        auto *block = static_cast<char *>(xmalloc(capacity));
        if (data_ != nullptr) std::memcpy(block, data_, size_ + 1);
        else block[0] = '\0';
        free_secret(data_, touched_);
        data_ = block;
        capacity_ = capacity;
        touched_ = size_ + 1;
    }

    char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t touched_ = 0;  // bytes of the block ever written
};

// Releaser for a C text that holds a secret and is freed by `Release` (a C
// library's own free function): wipes the text, then releases it.
template <auto Release>
struct secret_text_releaser {
    void operator()(char *text) const {
        if (text == nullptr) return;
        wipe(text, std::char_traits<char>::length(text));
        Release(text);
    }
};
