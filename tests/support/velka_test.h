// Test support shared by every test binary: temporary directories, fixtures, private mount
// namespaces with files bound over fixed paths, fake tools first on PATH that journal the
// command lines they receive, and loop devices on sparse files.
#ifndef VELKA_TEST_SUPPORT_H
#define VELKA_TEST_SUPPORT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velka_test {

// Path of a file under tests/fixtures.
std::string fixture(const std::string& srel);
// Whole content of a file ("" when it cannot be read).
std::string slurp(const std::string& spath);
// Writes a file whole (mode applied after writing); aborts the test binary on failure.
void spew(const std::string& spath, const std::string& scontent, mode_t mode = 0644);
bool is_root();
// True when a program of that name is on PATH (or the absolute path is executable).
bool have_tool(const std::string& sname);
// Runs a command through /bin/sh and returns its exit code (-1 when it did not exit);
// standard output is returned in sout when given.
int sh(const std::string& scmd, std::string* sout = nullptr);

#define VELKA_REQUIRE_ROOT()                                      \
    do {                                                          \
        if (!velka_test::is_root()) GTEST_SKIP() << "needs root"; \
    } while (0)
#define VELKA_REQUIRE_TOOL(name)                                                       \
    do {                                                                               \
        if (!velka_test::have_tool(name)) GTEST_SKIP() << "needs the tool " << (name); \
    } while (0)

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it afterwards.
class tempdir {
public:
    tempdir();
    ~tempdir();
    tempdir(const tempdir&) = delete;
    tempdir& operator=(const tempdir&) = delete;
    const std::string& path() const {
        return m_spath;
    }
    std::string operator/(const std::string& sname) const {
        return m_spath + "/" + sname;
    }

private:
    std::string m_spath;
};

// Moves the calling process into a private mount namespace (private propagation, so nothing
// mounted here reaches the host) and, when bnet is true, a new network namespace holding only
// a loopback interface. Call before any thread is started. Root test binaries do this in
// main(), so every root test runs in namespaces of its own.
bool enter_private_namespaces(bool bnet);
bool in_private_mount_namespace();

// Binds a file or a directory over an existing fixed path (/etc/resolv.conf, /proc/cmdline,
// /sys/..., /run/udev/data, /opt/...) and unmounts it on destruction. Only inside a private
// mount namespace.
class bind_mount {
public:
    // breadonly makes the bound path read-only (writes fail with EROFS, even for root).
    bind_mount(const std::string& ssource, const std::string& starget, bool breadonly = false);
    ~bind_mount();
    bind_mount(const bind_mount&) = delete;
    bind_mount& operator=(const bind_mount&) = delete;
    bool ok() const {
        return m_bok;
    }

private:
    std::string m_starget;
    bool m_bok;
};

// A tmpfs over a directory, so fixture trees can be built where a fixed path lives without
// touching what is beneath (e.g. a tmpfs over /sys/firmware, then mkdir efi).
class tmpfs_mount {
public:
    // soptions: extra mount options, e.g. "size=8k" for a filesystem that fills up.
    explicit tmpfs_mount(const std::string& starget, const std::string& soptions = "");
    ~tmpfs_mount();
    tmpfs_mount(const tmpfs_mount&) = delete;
    tmpfs_mount& operator=(const tmpfs_mount&) = delete;
    bool ok() const {
        return m_bok;
    }

private:
    std::string m_starget;
    bool m_bok;
};

// A writable layer over a directory of the host (overlayfs with the upper layer in a
// temporary directory): files can be added, e.g. a fake /sbin/udevadm, and the host's
// directory stays as it was. Only inside a private mount namespace.
class overlay_mount {
public:
    explicit overlay_mount(const std::string& starget);
    ~overlay_mount();
    overlay_mount(const overlay_mount&) = delete;
    overlay_mount& operator=(const overlay_mount&) = delete;
    bool ok() const {
        return m_bok;
    }

private:
    tempdir m_layers;
    std::string m_starget;
    bool m_bok;
};

// Fake tools: a directory put first on PATH for the object's lifetime. Each fake appends the
// command line it received (its name and arguments joined by blanks) as one line to the
// journal, and its arguments NUL-separated to the argument journal, then prints the chosen
// output and exits with the chosen code.
class fake_tools {
public:
    fake_tools();
    ~fake_tools();
    fake_tools(const fake_tools&) = delete;
    fake_tools& operator=(const fake_tools&) = delete;

    // A fake that prints the text given.
    void add(const std::string& sname,
             const std::string& sstdout,
             int iexit = 0,
             const std::string& sstderr = "");
    // A fake that prints a fixture file (path relative to tests/fixtures).
    void add_fixture(const std::string& sname, const std::string& sfixture, int iexit = 0);
    // A fake with a script body of its own (after the journal lines).
    void add_script(const std::string& sname, const std::string& sbody);
    // Path of a fake's script, e.g. to bind it over a tool called by absolute path.
    std::string script_path(const std::string& sname) const;

    // Journal lines, one per call, in order.
    std::vector<std::string> calls() const;
    // Arguments of each call (without the program name), exactly as received.
    std::vector<std::vector<std::string>> argvs() const;
    const std::string& dir() const {
        return m_sbin;
    }

private:
    std::string header(const std::string& sname) const;
    tempdir m_dir;
    std::string m_sbin;
    std::string m_soldpath;
};

// A loop device on a sparse file in a temporary directory; detached (the device this object
// attached, nothing else) on destruction. With bpartscan the kernel scans it for partitions
// (losetup -P), so the nodes of its partitions (/dev/loopNpM) come and go with the table.
class loop_device {
public:
    explicit loop_device(unsigned long long ullsizemb, bool bpartscan = false);
    ~loop_device();
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;
    bool ok() const {
        return !m_sdevice.empty();
    }
    const std::string& device() const {
        return m_sdevice;
    }
    const std::string& backing_file() const {
        return m_sfile;
    }

private:
    tempdir m_dir;
    std::string m_sfile;
    std::string m_sdevice;
};

// Runs fn in a forked child and returns its raw wait status; the child exits with fn's
// result. Use for code that must run in a process of its own (signals, namespaces).
int run_in_child(const std::function<int()>& fn);

}  // namespace velka_test

#endif
