// Test scaffolding: a private scratch directory as current directory, and a
// Host whose streams are scripted or captured, whose commands are recorded
// and whose file opens can be replaced, all kept in the fake, not in globals.
// It builds natively and for Windows, where the tests run under Wine.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "driver/console.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

// What the fake host did, and how it behaves.
struct Fake {
    std::vector<std::string> commands;               // lines handed to run_command
    std::function<void(const std::string &)> on_command;
    std::function<FILE *(const char *, const char *)> open_file;  // fopen unless set
    std::function<int(const char *)> make_dir;                    // the real one unless set
};

inline int fake_change_dir(void *, const char *path)
{
    return plat_change_dir(path);
}

inline int fake_make_dir(void *ctx, const char *path)
{
    Fake *f = static_cast<Fake *>(ctx);
    return f->make_dir ? f->make_dir(path) : plat_make_dir(path);
}

inline int fake_run_command(void *ctx, const char *line)
{
    Fake *f = static_cast<Fake *>(ctx);
    f->commands.emplace_back(line);
    if (f->on_command)
        f->on_command(line);
    return 1;  // whatever the commands return must not matter
}

inline FILE *fake_open_file(void *ctx, const char *path, const char *mode)
{
    Fake *f = static_cast<Fake *>(ctx);
    return f->open_file ? f->open_file(path, mode) : fopen(path, mode);
}

inline std::string read_all(FILE *f)
{
    fflush(f);
    rewind(f);
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// The current directory as the C library spells it (bytes in the ANSI code
// page on Windows, which std::filesystem would take for UTF-8).
inline std::string cwd_bytes()
{
    char buf[PATH_BUFFER_SIZE * 4];
    return getcwd(buf, sizeof buf) ? buf : "";
}

inline std::string slurp(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    std::string s = read_all(f);
    fclose(f);
    return s;
}

inline void spit(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_cwd_ = fs::current_path();
        static int serial;
        dir_ = fs::temp_directory_path() /
               ("stub-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
        dir_bytes_ = cwd_bytes();
        in_ = tmpfile();
        out_ = tmpfile();
        err_ = tmpfile();
        ASSERT_TRUE(in_ && out_ && err_);
        host_ = {&fake_, in_, out_, err_, fake_change_dir, fake_make_dir, fake_run_command,
                 fake_open_file};
    }

    void TearDown() override
    {
        fclose(in_);
        fclose(out_);
        fclose(err_);
        fs::current_path(old_cwd_);
        fs::remove_all(dir_);
    }

    void type(const std::string &input)
    {
        fwrite(input.data(), 1, input.size(), in_);
        rewind(in_);
    }

    std::string out() { return read_all(out_); }
    std::string err() { return read_all(err_); }

    // The current directory, relative to the scratch directory.
    std::string where()
    {
        std::string cwd = cwd_bytes();
        if (cwd.compare(0, dir_bytes_.size(), dir_bytes_) != 0)
            return "<outside: " + cwd + ">";
        cwd.erase(0, dir_bytes_.size());
        return cwd.empty() ? "." : cwd.substr(1);
    }

    fs::path old_cwd_, dir_;
    std::string dir_bytes_;
    FILE *in_ = nullptr, *out_ = nullptr, *err_ = nullptr;
    Fake fake_;
    Host host_{};
};

#endif
