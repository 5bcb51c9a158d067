// Test scaffolding: a private scratch directory as current directory, and a
// Host whose streams are scripted or captured and whose commands are recorded.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/console.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

inline std::vector<std::string> commands;  // lines handed to run_command

inline int record_command(const char *line)
{
    commands.emplace_back(line);
    return 0;
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

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_cwd_ = fs::current_path();
        char tmpl[] = "/tmp/stub-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::current_path(dir_);
        commands.clear();
        in_ = tmpfile();
        out_ = tmpfile();
        err_ = tmpfile();
        host_ = {in_, out_, err_, plat_change_dir, plat_make_dir, record_command};
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

    fs::path old_cwd_, dir_;
    FILE *in_ = nullptr, *out_ = nullptr, *err_ = nullptr;
    Host host_{};
};

#endif
