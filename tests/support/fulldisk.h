#pragma once

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mount.h>

namespace orvendal::testing {

// A real small file system (a tmpfs of `size`, "512k") mounted on a new folder `at`, that a test
// fills to its last byte and frees again. Mounting needs root: mounted() says whether it worked,
// and why not.
class SmallDisk {
public:
    SmallDisk(std::string at, const std::string& size) : at_(std::move(at)) {
        std::filesystem::create_directory(at_);
        const std::string options = "size=" + size;
        if (::mount("tmpfs", at_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            refused_ = std::strerror(errno);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    ~SmallDisk() {
        if (refused_.empty()) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }

    bool mounted() const { return refused_.empty(); }
    const std::string& refusal() const { return refused_; }
    std::string file(const std::string& name) const { return at_ + "/" + name; }

    // Writes a filler until the file system has no byte left.
    void fill() const {
        std::ofstream filler(file("filler"), std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    void free() const { std::filesystem::remove(file("filler")); }

private:
    std::string at_;
    std::string refused_;
};

} // namespace orvendal::testing
