// Block device records: construction, the accessors of every field, the device numbers as
// text and the record's own log line; the supported VPD page set.
#include <velka/blkdev>

#include <velka/logger>
#include <velka/utilities>

namespace velka {
namespace scsi {

vpdinfo::vpdinfo() {
    reset();
}

void vpdinfo::reset() {
    m_ascii = false;
    m_serialnum = false;
    m_identity = false;
    m_extinquiry = false;
    m_modepage = false;
    m_scsiports = false;
    m_atainformation = false;
    m_powercondition = false;
    m_protocollun = false;
    m_blocklimit = false;
    m_blkdev = false;
    m_provisioning = false;
}

}  // namespace scsi

namespace blkdev {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "blkdev";

}  // namespace

blkdev::blkdev() : blkdev(std::string(), nullptr) {}

blkdev::blkdev(const std::string& sdevicepath, velka::logger::source* plogsrc)
    : m_sdevicepath(sdevicepath),
      m_imajor(0),
      m_iminor(0),
      m_etransporttype(e_scsi),
      m_ullblocks(0),
      m_uiblocksize(0),
      m_btrimsupported(false),
      m_bremovable(false),
      m_bunmapsupported(false),
      m_bsamewritesupported(false),
      m_irotationspeed(0),
      m_isflashdrive(false),
      m_uiscsiversion(0),
      m_uidevicetype(0),
      m_plogsrc(plogsrc),
      m_udev(plogsrc) {}

void blkdev::set_legatopath(const std::string& slegato) {
    m_slegatopath = slegato;
}
std::string blkdev::get_legatopath() const {
    return m_slegatopath;
}
void blkdev::set_sgdev(const std::string& sg) {
    m_ssgdev = sg;
}
std::string blkdev::get_sgdev() const {
    return m_ssgdev;
}
void blkdev::set_major(int major) {
    m_imajor = major;
}
int blkdev::get_major() const {
    return m_imajor;
}
void blkdev::set_minor(int minor) {
    m_iminor = minor;
}
int blkdev::get_minor() const {
    return m_iminor;
}
void blkdev::set_vendor(const std::string& svendor) {
    m_svendorid = svendor;
}
std::string blkdev::get_vendor() const {
    return m_svendorid;
}
void blkdev::set_model(const std::string& smodel) {
    m_smodelid = smodel;
}
std::string blkdev::get_model() const {
    return m_smodelid;
}
void blkdev::set_serial(const std::string& sserial) {
    m_sserialnum = sserial;
}
std::string blkdev::get_serial() const {
    return m_sserialnum;
}
void blkdev::set_transport(scsitransport_t type) {
    m_etransporttype = type;
}
scsitransport_t blkdev::get_transport() const {
    return m_etransporttype;
}
void blkdev::set_numblks(unsigned long long ullblks) {
    m_ullblocks = ullblks;
}
unsigned long long blkdev::get_blocks() const {
    return m_ullblocks;
}
void blkdev::set_blksize(unsigned int uiblksize) {
    m_uiblocksize = uiblksize;
}
unsigned long long blkdev::get_blksize() const {
    return m_uiblocksize;
}
void blkdev::set_trimsupport(bool btrim) {
    m_btrimsupported = btrim;
}
bool blkdev::get_trimsupport() const {
    return m_btrimsupported;
}
void blkdev::set_removable(bool bremovable) {
    m_bremovable = bremovable;
}
bool blkdev::get_removable() const {
    return m_bremovable;
}
void blkdev::set_unmap(bool bunmap) {
    m_bunmapsupported = bunmap;
}
bool blkdev::get_unmap() const {
    return m_bunmapsupported;
}
void blkdev::set_samewrite(bool bsamewrite) {
    m_bsamewritesupported = bsamewrite;
}
bool blkdev::get_samewrite() const {
    return m_bsamewritesupported;
}
void blkdev::set_scheduler(const std::string& ssched) {
    m_sdiskscheduler = ssched;
}
std::string blkdev::get_scheduler() const {
    return m_sdiskscheduler;
}
void blkdev::set_label(const std::string& slabel) {
    m_slabel = slabel;
}
std::string blkdev::get_label() const {
    return m_slabel;
}
void blkdev::set_rotationspeed(int ispeed) {
    m_irotationspeed = ispeed;
}
int blkdev::get_rotationspeed() const {
    return m_irotationspeed;
}
void blkdev::set_isflashdisk(bool bisssd) {
    m_isflashdrive = bisssd;
}
bool blkdev::get_isflashdisk() const {
    return m_isflashdrive;
}
void blkdev::set_scsiversion(unsigned int uiversion) {
    m_uiscsiversion = uiversion;
}
unsigned int blkdev::get_scsiversion() const {
    return m_uiscsiversion;
}
void blkdev::set_devicetype(unsigned int uidevtype) {
    m_uidevicetype = uidevtype;
}
unsigned int blkdev::get_devicetype() const {
    return m_uidevicetype;
}
std::string blkdev::get_dev() const {
    return m_sdevicepath;
}

std::string blkdev::devnotostr() const {
    return utilities::itostr(m_imajor) + " : " + utilities::itostr(m_iminor);
}

void blkdev::logdevinfo() const {
    LOG(m_plogsrc, s_file, "blkdev::logdevinfo", "Working on Block device: " + m_sdevicepath);
}

}  // namespace blkdev
}  // namespace velka
