// Test support: temporary directories, namespaces and mounts, fake tools and loop devices.
#include "velka_test.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <velka/utilities>

namespace velka_test {

using velka::utilities::utilities;

namespace {

[[noreturn]] void die(const std::string& swhat) {
    fprintf(stderr, "velka test support: %s: %s\n", swhat.c_str(), strerror(errno));
    abort();
}

}  // namespace

std::string fixture(const std::string& srel) {
    return std::string(VELKA_FIXTURES) + "/" + srel;
}

std::string slurp(const std::string& spath) {
    std::ifstream in(spath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spew(const std::string& spath, const std::string& scontent, mode_t mode) {
    std::ofstream out(spath, std::ios::binary | std::ios::trunc);
    out << scontent;
    out.close();
    if (!out) die("cannot write " + spath);
    if (chmod(spath.c_str(), mode) != 0) die("cannot chmod " + spath);
}

bool is_root() {
    return geteuid() == 0;
}

bool have_tool(const std::string& sname) {
    if (sname.find('/') != std::string::npos) return access(sname.c_str(), X_OK) == 0;
    return sh("command -v " + utilities::shellquote(sname) + " >/dev/null 2>&1") == 0;
}

int sh(const std::string& scmd, std::string* sout) {
    std::string out, err;
    std::string sfull = scmd;
    if (sout == nullptr) {
        int istatus = ::system(sfull.c_str());
        return WIFEXITED(istatus) ? WEXITSTATUS(istatus) : -1;
    }
    FILE* pf = ::popen(sfull.c_str(), "r");
    if (pf == nullptr) return -1;
    char buf[4096];
    size_t n;
    sout->clear();
    while ((n = fread(buf, 1, sizeof(buf), pf)) > 0) sout->append(buf, n);
    int istatus = pclose(pf);
    return WIFEXITED(istatus) ? WEXITSTATUS(istatus) : -1;
}

// ---- tempdir ----

tempdir::tempdir() {
    const char* ptmp = getenv("TMPDIR");
    std::string stemplate =
        std::string(ptmp != nullptr && *ptmp ? ptmp : "/tmp") + "/velka-test.XXXXXX";
    std::vector<char> buf(stemplate.begin(), stemplate.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) die("mkdtemp");
    m_spath = buf.data();
}

tempdir::~tempdir() {
    sh("rm -rf " + utilities::shellquote(m_spath));
}

// ---- namespaces and mounts ----

namespace {
// Set once this process has left the mount namespace it was started in.
bool s_bprivatemounts = false;
}  // namespace

bool enter_private_namespaces(bool bnet) {
    int iflags = CLONE_NEWNS | (bnet ? CLONE_NEWNET : 0);
    if (unshare(iflags) != 0) return false;
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    s_bprivatemounts = true;
    if (bnet) sh("ip link set lo up >/dev/null 2>&1");
    return true;
}

bool in_private_mount_namespace() {
    return s_bprivatemounts;
}

bind_mount::bind_mount(const std::string& ssource, const std::string& starget, bool breadonly)
    : m_starget(starget), m_bok(false) {
    if (!in_private_mount_namespace()) {
        ADD_FAILURE() << "bind_mount outside a private mount namespace: " << starget;
        return;
    }
    m_bok = mount(ssource.c_str(), starget.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!m_bok) {
        ADD_FAILURE() << "bind " << ssource << " over " << starget << ": " << strerror(errno);
        return;
    }
    if (breadonly &&
        mount(nullptr, starget.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        ADD_FAILURE() << "read-only remount of " << starget << ": " << strerror(errno);
}

bind_mount::~bind_mount() {
    if (m_bok) umount2(m_starget.c_str(), MNT_DETACH);
}

tmpfs_mount::tmpfs_mount(const std::string& starget, const std::string& soptions)
    : m_starget(starget), m_bok(false) {
    if (!in_private_mount_namespace()) {
        ADD_FAILURE() << "tmpfs_mount outside a private mount namespace: " << starget;
        return;
    }
    std::string sdata = "mode=0755" + (soptions.empty() ? "" : "," + soptions);
    m_bok = mount("velka-test", starget.c_str(), "tmpfs", 0, sdata.c_str()) == 0;
    if (!m_bok) ADD_FAILURE() << "tmpfs over " << starget << ": " << strerror(errno);
}

tmpfs_mount::~tmpfs_mount() {
    if (m_bok) umount2(m_starget.c_str(), MNT_DETACH);
}

overlay_mount::overlay_mount(const std::string& starget) : m_starget(starget), m_bok(false) {
    if (!in_private_mount_namespace()) {
        ADD_FAILURE() << "overlay_mount outside a private mount namespace: " << starget;
        return;
    }
    // The layers live on a tmpfs of their own: overlayfs needs an upper layer that supports
    // what it stores (e.g. trusted xattrs), whatever $TMPDIR is.
    if (mount("velka-test", m_layers.path().c_str(), "tmpfs", 0, "mode=0700") != 0) {
        ADD_FAILURE() << "tmpfs for overlay layers: " << strerror(errno);
        return;
    }
    mkdir((m_layers / "upper").c_str(), 0755);
    mkdir((m_layers / "work").c_str(), 0755);
    std::string sopts = "lowerdir=" + starget + ",upperdir=" + (m_layers / "upper") +
                        ",workdir=" + (m_layers / "work");
    m_bok = mount("velka-overlay", starget.c_str(), "overlay", 0, sopts.c_str()) == 0;
    if (!m_bok) {
        ADD_FAILURE() << "overlay over " << starget << ": " << strerror(errno);
        umount2(m_layers.path().c_str(), MNT_DETACH);
    }
}

overlay_mount::~overlay_mount() {
    if (m_bok) {
        umount2(m_starget.c_str(), MNT_DETACH);
        umount2(m_layers.path().c_str(), MNT_DETACH);
    }
}

// ---- fake tools ----

fake_tools::fake_tools() : m_sbin(m_dir / "bin") {
    if (mkdir(m_sbin.c_str(), 0755) != 0) die("mkdir " + m_sbin);
    const char* ppath = getenv("PATH");
    m_soldpath = ppath != nullptr ? ppath : "/usr/sbin:/usr/bin:/sbin:/bin";
    setenv("PATH", (m_sbin + ":" + m_soldpath).c_str(), 1);
}

fake_tools::~fake_tools() {
    setenv("PATH", m_soldpath.c_str(), 1);
}

std::string fake_tools::header(const std::string& sname) const {
    std::string sjournal = utilities::shellquote(m_dir / "journal");
    std::string sargs = utilities::shellquote(m_dir / "argv");
    std::string slock = utilities::shellquote(m_dir / "lock");
    // Calls made at the same time record one after the other: each record is several writes.
    return "#!/bin/sh\n"
           "exec 9>>" +
           slock +
           "\n/usr/bin/flock 9 2>/dev/null\n"
           "{ printf '%s' " +
           utilities::shellquote(sname) +
           "; for a in \"$@\"; do printf ' %s' \"$a\"; done; printf '\\n'; } >> " + sjournal +
           "\n"
           "{ for a in \"$@\"; do printf '%s\\0' \"$a\"; done; printf '\\n'; } >> " +
           sargs + "\nexec 9>&-\n";
}

void fake_tools::add(const std::string& sname,
                     const std::string& sstdout,
                     int iexit,
                     const std::string& sstderr) {
    std::string sout = m_dir / (sname + ".out");
    std::string serr = m_dir / (sname + ".err");
    spew(sout, sstdout);
    spew(serr, sstderr);
    add_script(sname, "cat " + utilities::shellquote(sout) + "\ncat " +
                          utilities::shellquote(serr) + " >&2\nexit " + std::to_string(iexit) +
                          "\n");
}

void fake_tools::add_fixture(const std::string& sname, const std::string& sfixture, int iexit) {
    add_script(sname, "cat " + utilities::shellquote(fixture(sfixture)) + "\nexit " +
                          std::to_string(iexit) + "\n");
}

void fake_tools::add_script(const std::string& sname, const std::string& sbody) {
    spew(script_path(sname), header(sname) + sbody, 0755);
}

std::string fake_tools::script_path(const std::string& sname) const {
    return m_sbin + "/" + sname;
}

std::vector<std::string> fake_tools::calls() const {
    std::vector<std::string> lcalls;
    std::istringstream in(slurp(m_dir / "journal"));
    std::string sline;
    while (std::getline(in, sline)) lcalls.push_back(sline);
    return lcalls;
}

std::vector<std::vector<std::string>> fake_tools::argvs() const {
    // Each call is a run of NUL-terminated arguments followed by one newline.
    std::vector<std::vector<std::string>> lcalls;
    std::string sdata = slurp(m_dir / "argv");
    std::vector<std::string> cur;
    std::string sarg;
    for (size_t i = 0; i < sdata.size(); ++i) {
        char c = sdata[i];
        if (c == '\0') {
            cur.push_back(sarg);
            sarg.clear();
        } else if (c == '\n' && sarg.empty()) {
            lcalls.push_back(cur);
            cur.clear();
        } else {
            sarg.push_back(c);
        }
    }
    return lcalls;
}

// ---- loop devices ----

loop_device::loop_device(unsigned long long ullsizemb, bool bpartscan)
    : m_sfile(m_dir / "disk.img") {
    int ifd = open(m_sfile.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (ifd < 0) die("create " + m_sfile);
    if (ftruncate(ifd, static_cast<off_t>(ullsizemb) * 1024 * 1024) != 0) die("ftruncate");
    close(ifd);
    std::string sout;
    if (sh(std::string("losetup --find --show ") + (bpartscan ? "-P " : "") +
               utilities::shellquote(m_sfile),
           &sout) == 0)
        m_sdevice = utilities::trim(sout);
    if (m_sdevice.empty()) ADD_FAILURE() << "losetup could not attach " << m_sfile;
}

loop_device::~loop_device() {
    if (!m_sdevice.empty()) {
        // A device that is still busy right after an unmount is detached lazily by the kernel
        // once free (autoclear); try a few times first.
        for (int i = 0; i < 10; ++i) {
            if (sh("losetup -d " + utilities::shellquote(m_sdevice) + " 2>/dev/null") == 0) return;
            usleep(100000);
        }
        ADD_FAILURE() << "could not detach " << m_sdevice;
    }
}

int run_in_child(const std::function<int()>& fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(fn());
    int istatus = 0;
    while (waitpid(pid, &istatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return istatus;
}

}  // namespace velka_test
