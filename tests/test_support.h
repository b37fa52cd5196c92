// Shared helpers of the tests: captured messages, the in-memory file system, paths and time zones.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "tests/support/fs_memory.h"

// Every message written while a capture is installed, one element per WriteMessage call.
std::vector<std::wstring>& CapturedMessages();
void StartCapture();
// All captured messages joined into one text.
std::wstring CapturedText();

// A path with '/' turned into the platform's separator.
std::wstring P(const std::wstring& path);

// Runs RunSync with the given arguments (program name first).
int RunWith(const std::vector<std::wstring>& arguments);

// Sets the process's local time zone (a POSIX TZ text such as "UTC0" or "CET-1CEST,M3.5.0,M10.5.0/3").
void SetTimeZone(const char* tz);

// UTF-8 form of a wide text, for readable failure output.
std::string Narrow(const std::wstring& text);

// 100-ns units since 1601 of a UTC calendar time.
int64_t UtcFileTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Installs the in-memory file system (empty) and captures messages; restores both afterwards.
class MemFsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // How many captured messages begin with prefix.
    static size_t Count(const std::wstring& prefix);
};

// Whole runs on the in-memory file system from /src into /dst (both made empty), and what the
// pass tests ask of a run: its messages, and the trees afterwards.
class PassTest : public MemFsTest {
public:
    // Some time in 2022, with the finer part of a time that NTFS or ext4 keeps: a destination whose
    // times all lack it would be taken for one that keeps whole seconds.
    static constexpr int64_t T0 = 133000000000000000LL + 1234567;
    static constexpr int64_t kSecond = 10000000;

protected:
    void SetUp() override;
    // Adds a file whose creation and last-write times are both time.
    static void File(const std::wstring& path, const std::string& content, int64_t time = T0);
    // Runs RunSync from /src into /dst with the optional third argument, capturing anew.
    static int Run(const wchar_t* extra = nullptr);
    // The content at path, or "<none>" / "<folder>".
    static std::string At(const std::wstring& path);
    // Whether the captured text holds line (its '/' turned into the separator).
    static bool Said(const std::wstring& line);
};

// A fresh real folder for the test, removed afterwards, and the platform's provider.
class RealFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring root;  // without trailing separator
};

// Creates a file with the given bytes and last-write time (100-ns units since 1601) on the real
// file system; creates missing folders.
void WriteRealFile(const std::wstring& path, const std::string& content, int64_t lastWriteTime);
// The bytes of a real file; false when it cannot be read.
bool ReadRealFile(const std::wstring& path, std::string* content);
void MakeRealFolder(const std::wstring& path);
