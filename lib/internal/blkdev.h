// The readers of parted's listing and the decoders of the data SCSI commands return. Internal to
// the library: not exported from libvelka.so; the tests and the fuzz targets reach them through the
// static build.
#ifndef VELKA_INTERNAL_BLKDEV_H
#define VELKA_INTERNAL_BLKDEV_H

#include <cstddef>
#include <string>
#include <vector>

#include <velka/blkdev>

namespace velka {
namespace blkdev {

// Reads parted's machine-readable listing (one line a string, line ends removed): the
// unit line and the disk line are passed over; every further line is one partition,
// number:start:end:size:filesystem:name:flags; with empty fields kept in their places.
// Skipped, with a log line through plogsrc: a line without its closing ";" (cut short),
// with fewer than four fields or an empty one among them, or whose number is not a
// decimal number from 1 to 999999999. A line whose start is 0.00B (a file system on the
// whole disk, no table) is skipped silently. Appends to part_vec and returns how many
// partitions it appended.
int parsepartitionlisting(const std::vector<std::string>& vlines,
                          std::vector<partitioninfo>& part_vec,
                          velka::logger::source* plogsrc);

// Decoders of the data a command returned: pdata holds ulen bytes actually received.
// Fields beyond the received bytes read as zero; page lengths are clamped to them.
// READ CAPACITY(16): blocks = last logical block address + 1, block length in bytes.
void decodecapacity(const unsigned char* pdata,
                    size_t ulen,
                    unsigned long long& ullblocks,
                    unsigned int& uiblksize);

// VPD page 0x80: the serial's bytes, unchanged.
std::string decodeserial(const unsigned char* pdata, size_t ulen);

// Standard INQUIRY: the peripheral device type (low five bits of byte 0).
unsigned int decodedevicetype(const unsigned char* pdata, size_t ulen);

// VPD page 0x00: the flags of the listed pages; other codes are ignored.
velka::scsi::vpdinfo decodevpdpages(const unsigned char* pdata, size_t ulen);

// VPD page 0xB1: the medium rotation rate.
int decoderotationrate(const unsigned char* pdata, size_t ulen);

// VPD page 0xB2: UNMAP (byte 5 bit 7) and WRITE SAME with unmap (byte 5 bit 6).
void decodeprovisioning(const unsigned char* pdata, size_t ulen, bool& bunmap, bool& bsamewrite);

// The active scheduler of a queue/scheduler line: the first blank-separated piece that
// begins with "[" without its first and last characters, at most 63 characters. false
// (sname untouched) when no piece begins with "[".
bool decodescheduler(const std::string& sline, std::string& sname);

}  // namespace blkdev
}  // namespace velka

#endif
