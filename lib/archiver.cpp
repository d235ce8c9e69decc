// velka::archiver::archiver: creates or extracts many tar.gz archives in parallel. process()
// opens the list file once and starts up to one worker per core; the workers share the open
// list and read it one line at a time under a lock, build the tar command for the line, run
// it and go on with the next line until the list ends or one of their own jobs fails. The
// caller's thread waits until every worker has been joined, then reports the lowest failed
// worker.
#include <velka/archiver>

#include "internal/archiver.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include <velka/logger>
#include <velka/mutex>
#include <velka/platform>
#include <velka/scoped_array>
#include <velka/thread>
#include <velka/utilities>

#include "cloexecfile.h"
#include "failure.h"

namespace velka {
namespace archiver {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "archiver.cpp";

// A worker's failure, recorded on the worker's thread, kept for process() to record again
// on the caller's thread; by task record, until process() takes it.
std::mutex s_failurelock;
std::map<const archivetaskdata*, velka::failure> s_taskfailures;

void taskfailed(archivetaskdata* ptask) {
    ptask->m_bfailed = true;
    std::lock_guard<std::mutex> guard(s_failurelock);
    s_taskfailures[ptask] = velka::last_error();
}

// The failure of a task record, forgotten once taken (empty when there was none).
velka::failure takefailure(const archivetaskdata* ptask) {
    std::lock_guard<std::mutex> guard(s_failurelock);
    velka::failure f;
    auto it = s_taskfailures.find(ptask);
    if (it == s_taskfailures.end()) return f;
    f = it->second;
    s_taskfailures.erase(it);
    return f;
}

// System paths left out of every created archive, each piece exactly as it is appended.
const char* const s_excludes[] = {
    " --exclude=/usr/local/include ",
    " --exclude=/usr/include ",
    " --exclude=/usr/src/glusterfs ",
    " --exclude=/usr/share/doc",
    " --exclude=/usr/share/ovirt-engine-appliance",
    " --exclude=/usr/share/rhv-guest-tools-iso",
    " --exclude=/root/.ssh",
    " --exclude=/root/.bash_history",
    " --exclude=/root/.viminfo",
    " --exclude=/var/lib/dhclient/*",
    " --exclude=/var/log/audit/*",
    " --exclude=/var/log/anaconda/*",
    " --exclude=/var/log/messages*",
    " --exclude=/usr/src/archivestore",
    " --exclude=/usr/src/arch.tar.gz",
    " --exclude=/usr/src/efiboot.img",
    " --exclude=/var/log/boot.log",
    " --exclude=/var/log/createcd.log",
    " --exclude=/var/log/dwnxavahi.log",
    " --exclude=/var/log/dwnxqelplatform.log",
    " --exclude=/var/log/velka.log",
    " --exclude=/var/log/wrapper.log",
    " --exclude=/var/log/yum.log",
    " --exclude=/var/log/orvane/Log_Files",
    " --exclude=/var/log/secure",
    " --exclude=/etc/resolv.conf",
    " --exclude=/var/spool/",
    " --exclude=/var/tmp/",
    " --exclude=/etc/rsyslog.d/glusternagios.conf",
    " --exclude=/etc/rsyslog.d/openstack-swift.conf",
    " --exclude=/etc/rsyslog.d/tendrl-node-agent.conf",
    " --exclude=/var/www/my_flask_prod/CVS",
    " --exclude=/var/www/my_flask_prod/scripts/CVS",
    " --exclude=/var/www/my_flask_prod/static/css/CVS",
    " --exclude=/var/www/my_flask_prod/static/js/CVS",
    " --exclude=/var/www/my_flask_prod/static/fonts/CVS",
    " --exclude=/var/www/my_flask_prod/static/img/CVS",
    " --exclude=/var/www/my_flask_prod/static/CVS",
    " --exclude=/var/www/my_flask_prod/static/screenshots/CVS",
    " --exclude=/var/www/my_flask_prod/templates/CVS",
};

// tar reads its options up to the first operand only, so the exclusions stand between the
// archive name (the argument of -f) and the path to archive. --force-local: an archive name
// with a colon ("snap-10:30.tgz", "backup:/x.tgz") is a local file, never a remote host.
std::string createcmd(const std::string& spath,
                      const std::string& sarchive,
                      velka::utilities::operands& ops) {
    std::string scmd = "tar --force-local --acls --xattrs -p -zcf " + ops.op(sarchive);
    for (const char* pexclude : s_excludes) scmd += pexclude;
    scmd += " " + ops.op(spath);
    return scmd;
}

std::string extractcmd(const std::string& sarchive,
                       const std::string& sdir,
                       velka::utilities::operands& ops) {
    return "tar --force-local --acls --xattrs --warning=none -p -zxf " + ops.op(sarchive) + " -C " +
           ops.op(sdir);
}

std::string errtext(int ierr) {
    char buf[256];
    return strerror_r(ierr, buf, sizeof(buf));
}

// Takes the next line of the shared list. false at the end of the list or on a read error.
// A last line without a newline is still a line.
bool nextline(archivetaskdata* ptask, std::string& sline) {
    velka::mutex::mutex_mgr guard(ptask->m_pfilelock);
    return static_cast<bool>(std::getline(*ptask->pinputfile, sline));
}

// A word that reaches tar cannot be empty nor carry a NUL byte through a shell command line;
// one that begins with "-" is refused by the builder's operand check.
bool validword(const std::string& sword) {
    return !sword.empty() && sword.find('\0') == std::string::npos;
}

// The loop shared by both workers.
void runjobs(archivetaskdata* ptask, bool bcreate) {
    const char* sfunc = bcreate ? "creategzippedtar" : "extractgziparchive";
    const std::string sid = utilities::uitostr(ptask->m_threadid);
    std::string sline;
    while (nextline(ptask, sline)) {
        velka::detail::note(ptask->m_plogsrc, s_file, sfunc, "Will process entry " + sline);

        std::string scmd;
        if (!parselistline(sline, bcreate, scmd)) {
            velka::detail::fail(ptask->m_plogsrc, s_file, sfunc, "Invalid input file " + sline);
            taskfailed(ptask);
            return;
        }

        velka::detail::note(ptask->m_plogsrc, s_file, sfunc,
                            sid +
                                (bcreate ? " | will create tar using command | "
                                         : " | will extract tar using command | ") +
                                scmd);
        std::string w1, w2;
        std::istringstream words(sline);
        words >> w1 >> w2;
        std::string sout, serr;
        if (velka::detail::system(scmd, sout, serr) != 0) {
            velka::detail::fail(
                ptask->m_plogsrc, s_file, sfunc,
                (bcreate ? "Failed to create tar " + w2 : "Failed to extract tar " + w1) +
                    " error: " + serr);
            taskfailed(ptask);
            return;
        }
        velka::detail::note(ptask->m_plogsrc, s_file, sfunc,
                            sid + " | completed processing | " + (bcreate ? w2 : w1));
    }
}

// The caller's job while process() runs a pool with a callable. Such calls take turns (the
// lock is held for the whole call): the workers find the job here.
typedef std::function<int(const std::string&, unsigned int)> jobfn_t;
std::mutex s_callerjoblock;
const jobfn_t* s_pcallerjob = nullptr;

// The worker of such a pool: the caller's job on each line until the list ends or a job fails.
void* runcallerjobs(void* task) {
    archivetaskdata* ptask = static_cast<archivetaskdata*>(task);
    const jobfn_t* pfn = s_pcallerjob;
    std::string sline;
    while (nextline(ptask, sline)) {
        if ((*pfn)(sline, ptask->m_threadid) != 0) {
            ptask->m_bfailed = true;
            break;
        }
    }
    return nullptr;
}

}  // namespace

bool parselistline(const std::string& sline, bool bcreate, std::string& scmd) {
    std::string w1, w2;
    std::istringstream words(sline);
    words >> w1 >> w2;
    velka::utilities::operands ops;
    std::string stext = bcreate ? createcmd(w1, w2, ops) : extractcmd(w1, w2, ops);
    scmd.clear();
    if (!validword(w1) || !validword(w2) || ops.refused()) return false;
    scmd = stext;
    return true;
}

void* creategzippedtar(void* task) {
    runjobs(static_cast<archivetaskdata*>(task), true);
    return nullptr;
}

void* extractgzippedtar(void* task) {
    runjobs(static_cast<archivetaskdata*>(task), false);
    return nullptr;
}

archiver::archiver(velka::logger::source* ptr)
    : m_plogsrc(ptr), m_uicpucores(velka::platform::platform::get_numcpucores()) {
    if (m_uicpucores == 0) m_uicpucores = 1;
    velka::detail::note(m_plogsrc, s_file, "archiver::archiver",
                        "A maximum of " + utilities::uitostr(m_uicpucores) +
                            " tasks will be created for creating the archive ");
}

int archiver::creategziparchive(std::string inputfile) {
    const char* sfunc = "archiver::creategziparchive";
    velka::detail::note(m_plogsrc, s_file, sfunc, "Input file: " + inputfile);
    int irc = process(inputfile, creategzippedtar);
    if (irc != 0)
        velka::detail::failcaught(m_plogsrc, s_file, sfunc,
                                  "Failed to compress contents of input file " + inputfile);
    else
        velka::detail::note(m_plogsrc, s_file, sfunc,
                            "Successfully compressed contents of input file " + inputfile);
    return irc;
}

int archiver::extractgziparchive(std::string inputfile) {
    const char* sfunc = "archiver::extractgziparchive";
    velka::detail::note(m_plogsrc, s_file, sfunc, "Input file: " + inputfile);
    int irc = process(inputfile, extractgzippedtar);
    if (irc != 0)
        velka::detail::failcaught(m_plogsrc, s_file, sfunc,
                                  "Failed to extract contents of input file " + inputfile);
    else
        velka::detail::note(m_plogsrc, s_file, sfunc,
                            "Successfully extracted contents of input file " + inputfile);
    return irc;
}

int archiver::process(std::string inputfile, void* (*funcptr)(void*)) {
    const char* sfunc = "archiver::process";
    velka::detail::note(m_plogsrc, s_file, sfunc, "Input file: " + inputfile);
    if (funcptr == nullptr) {
        velka::detail::fail(m_plogsrc, s_file, sfunc,
                            "No task function given for input file " + inputfile);
        return -1;
    }

    unsigned int uilines = utilities::numlinesinfile(inputfile);
    unsigned int uitasks = std::min(m_uicpucores, uilines);
    velka::detail::note(
        m_plogsrc, s_file, sfunc,
        utilities::uitostr(uitasks) + " tasks will be created for processing " + inputfile);

    velka::mutex::mutex filelock;
    velka::cloexecfile::ifile inputstream;
    velka::scoped_array::scoped_array<archivetaskdata> records(uitasks);

    // A directory opens like a file but every read of it fails, which would pass for an
    // empty list.
    int ierr = 0;
    if (utilities::isdir(inputfile)) {
        ierr = EISDIR;
    } else {
        errno = 0;
        inputstream.open(inputfile);
        if (!inputstream.is_open()) ierr = errno != 0 ? errno : EIO;
    }
    if (ierr != 0) {
        velka::detail::failwhat(m_plogsrc, s_file, sfunc,
                                "Failed to open input file " + inputfile + " " + errtext(ierr), "",
                                ierr);
        return -1;
    }

    int istart = 0;
    {
        velka::scoped_array::scoped_array<velka::thread::thread> threads(uitasks);
        for (unsigned int i = 0; i < uitasks; ++i) {
            records[i].m_pfilelock = &filelock;
            records[i].pinputfile = &inputstream;
            records[i].m_plogsrc = m_plogsrc;
            records[i].m_bfailed = false;
            records[i].m_threadid = i;
            istart = threads[i].create_joinable_thread(funcptr, &records[i]);
            if (istart != 0) {
                velka::detail::fail(m_plogsrc, s_file, sfunc,
                                    "Failed to create task for processing input file " + inputfile);
                break;
            }
        }
        // Leaving this scope destroys the thread objects in reverse order of creation; each
        // destruction joins its worker.
    }
    inputstream.close();
    // The workers are joined: what they recorded is taken whatever happens next.
    std::vector<velka::failure> vfailures;
    for (unsigned int i = 0; i < uitasks; ++i) vfailures.push_back(takefailure(&records[i]));
    if (istart != 0) return istart;

    for (unsigned int i = 0; i < uitasks; ++i) {
        if (records[i].m_bfailed) {
            velka::detail::fail(m_plogsrc, s_file, sfunc,
                                "task " + utilities::uitostr(i) + " failed ");
            // What failed in the worker: its command, exit status and standard error.
            const velka::failure& f = vfailures[i];
            if (!f.empty())
                velka::detail::record(f.m_sfunction.c_str(), f.m_smessage, f.m_swhat, f.m_istatus,
                                      f.m_ierrno, f.m_serr);
            return -1;
        }
    }
    return 0;
}

int archiver::process(std::string inputfile, const jobfn_t& fnjob) {
    if (!fnjob) return process(inputfile, static_cast<void* (*)(void*)>(nullptr));
    std::lock_guard<std::mutex> guard(s_callerjoblock);
    s_pcallerjob = &fnjob;
    int irc = process(inputfile, runcallerjobs);
    s_pcallerjob = nullptr;
    return irc;
}

}  // namespace archiver
}  // namespace velka
