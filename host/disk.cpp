// SPDX-License-Identifier: MIT
// Disks: image files and block devices opened read-only, read in 512-byte
// sectors through kelb_disk handles.

#include "host/kelb_host.h"
#ifdef KELB_HOST_FAULTS
#include "host/kelb_host_faults.h"
#endif

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// What every handle on one disk shares. A handle opened on a partition
// points to the same device as the whole-disk handle it came from.
struct kelb_host_device {
  std::string name;
  int fd = -1;  // image file or block device
  uint64_t sectors = 0;
#ifdef KELB_HOST_FAULTS
  std::set<uint64_t> failing;  // sectors whose reads fail
  uint64_t reads = 0;
#endif
  unsigned handles = 0;
};

namespace {

constexpr uint64_t kSector = KELB_SECTOR_SIZE;
const char kNotADisk[] = "not a regular file or block device";

struct handle {
  kelb_disk disk;
  kelb_partition part;  // the partition the handle is opened on, if any
};

kelb_disk *new_handle(kelb_host_device *dev) {
  handle *h = new handle();
  h->disk.name = dev->name.c_str();
  h->disk.device = dev;
  h->disk.total_sectors = dev->sectors;
  h->disk.partition = nullptr;
  dev->handles++;
  return &h->disk;
}

handle *handle_of(kelb_disk *disk) { return reinterpret_cast<handle *>(disk); }

kelb_err_t read_bytes(kelb_host_device *dev, uint64_t pos, size_t size, void *buf) {
  unsigned char *out = static_cast<unsigned char *>(buf);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(dev->fd, out + done, size - done, static_cast<off_t>(pos + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const uint64_t sector = (pos + done) / kSector;
      if (n == 0)
        return kelb_error(KELB_ERR_READ_ERROR,
                          "read error at sector %llu of '%s': file ended early",
                          static_cast<unsigned long long>(sector), dev->name.c_str());
      return kelb_error(KELB_ERR_READ_ERROR, "read error at sector %llu of '%s': %s",
                        static_cast<unsigned long long>(sector), dev->name.c_str(),
                        strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  return KELB_ERR_NONE;
}

// Sets `pos` to the device's byte position of the `size` bytes at byte
// `offset` of `sector` of the handle `disk`, when they lie within its
// partition and the disk; the error otherwise. Every sum and product is
// checked: a module may ask for any sector a damaged table names.
kelb_err_t device_position(const kelb_disk *disk, uint64_t sector, uint64_t offset, size_t size,
                           uint64_t &pos) {
  const kelb_host_device *dev = disk->device;
  const uint64_t max = UINT64_MAX;
  if (sector > max / kSector || offset > max - sector * kSector ||
      size > max - (sector * kSector + offset))
    return kelb_error(KELB_ERR_OUT_OF_RANGE,
                      "attempt to read past the end of '%s' (sector %llu, "
                      "byte offset %llu)",
                      dev->name.c_str(), static_cast<unsigned long long>(sector),
                      static_cast<unsigned long long>(offset));
  pos = sector * kSector + offset;

  if (const kelb_partition *p = disk->partition) {
    const uint64_t part_bytes = p->length > max / kSector ? max : p->length * kSector;
    if (size > part_bytes || pos > part_bytes - size)
      return kelb_error(KELB_ERR_OUT_OF_RANGE,
                        "attempt to read past the end of partition %d of '%s' "
                        "(sector %llu of %llu)",
                        p->index + 1, dev->name.c_str(),
                        static_cast<unsigned long long>(sector + offset / kSector),
                        static_cast<unsigned long long>(p->length));
    if (p->start > max / kSector || pos > max - p->start * kSector)
      return kelb_error(KELB_ERR_OUT_OF_RANGE,
                        "attempt to read past the end of '%s' (partition %d "
                        "starts at sector %llu)",
                        dev->name.c_str(), p->index + 1, static_cast<unsigned long long>(p->start));
    pos += p->start * kSector;
  }

  const uint64_t disk_bytes = dev->sectors * kSector;
  if (size > disk_bytes || pos > disk_bytes - size)
    return kelb_error(
        KELB_ERR_OUT_OF_RANGE,
        "attempt to read past the end of '%s' (sector %llu; the "
        "disk has %llu sectors)",
        dev->name.c_str(),
        static_cast<unsigned long long>((pos > disk_bytes ? pos : disk_bytes) / kSector),
        static_cast<unsigned long long>(dev->sectors));
  return KELB_ERR_NONE;
}

// A disk over the descriptor `fd` of the file or device `path`, opened
// without waiting (O_NONBLOCK), which it takes: refused (null, `fd`
// closed) when it is no regular file or block device or its size cannot
// be read.
kelb_disk *open_descriptor(int fd, const std::string &path) {
  struct stat st;
  const char *refusal = nullptr;
  if (fstat(fd, &st) != 0)
    refusal = strerror(errno);
  else if (S_ISDIR(st.st_mode))
    refusal = "is a directory";
  else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    refusal = kNotADisk;
  else if (const int flags = fcntl(fd, F_GETFL);
           flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    refusal = strerror(errno);
  if (refusal) {
    kelb_error(KELB_ERR_FILE_NOT_FOUND, "cannot open '%s': %s", path.c_str(), refusal);
    close(fd);
    return nullptr;
  }
  // lseek gives the size of regular files and block devices alike.
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    const int err = errno;
    close(fd);
    kelb_error(KELB_ERR_READ_ERROR, "cannot find the size of '%s': %s", path.c_str(),
               strerror(err));
    return nullptr;
  }
  kelb_host_device *dev = new kelb_host_device();
  dev->name = path;
  dev->fd = fd;
  dev->sectors = static_cast<uint64_t>(end) / kSector;
  return new_handle(dev);
}

}  // namespace

extern "C" kelb_err_t kelb_disk_read(kelb_disk *disk, uint64_t sector, uint64_t offset, size_t size,
                                     void *buf) {
  if (!disk || !disk->device || (!buf && size))
    return kelb_error(KELB_ERR_BAD_ARGUMENT, "read from no disk");
  kelb_host_device *dev = disk->device;
#ifdef KELB_HOST_FAULTS
  dev->reads++;
#endif
  uint64_t pos = 0;
  if (device_position(disk, sector, offset, size, pos) != KELB_ERR_NONE) return kelb_errno;
  if (size == 0) return KELB_ERR_NONE;
#ifdef KELB_HOST_FAULTS
  const uint64_t first = pos / kSector, last = (pos + size - 1) / kSector;
  auto bad = dev->failing.lower_bound(first);
  if (bad != dev->failing.end() && *bad <= last)
    return kelb_error(KELB_ERR_READ_ERROR, "read error at sector %llu of '%s': injected failure",
                      static_cast<unsigned long long>(*bad), dev->name.c_str());
#endif
  return read_bytes(dev, pos, size, buf);
}

namespace kelb_host {

kelb_disk *open_image(const std::string &path) {
  // Non-blocking for the open itself: a FIFO would otherwise wait for a
  // writer before its type could be checked.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    // A socket cannot be opened at all; say what it is rather than ENXIO.
    struct stat st;
    const bool socket = err == ENXIO && stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    kelb_error(KELB_ERR_FILE_NOT_FOUND, "cannot open '%s': %s", path.c_str(),
               socket ? kNotADisk : strerror(err));
    return nullptr;
  }
  return open_descriptor(fd, path);
}

void close_disk(kelb_disk *disk) {
  if (!disk) return;
  kelb_host_device *dev = disk->device;
  delete handle_of(disk);
  if (--dev->handles == 0) {
    if (dev->fd >= 0) close(dev->fd);
    delete dev;
  }
}

#ifdef KELB_HOST_FAULTS
kelb_disk *open_memory(const void *bytes, size_t size, const std::string &name) {
  const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
  if (fd < 0) {
    kelb_error(KELB_ERR_OUT_OF_MEMORY, "cannot make '%s' in memory: %s", name.c_str(),
               strerror(errno));
    return nullptr;
  }
  for (size_t done = 0; done < size;) {
    const ssize_t n =
        pwrite(fd, static_cast<const char *>(bytes) + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      kelb_error(KELB_ERR_OUT_OF_MEMORY, "cannot make '%s' in memory: %s", name.c_str(),
                 strerror(n < 0 ? errno : EIO));
      close(fd);
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  return open_descriptor(fd, name);
}

kelb_disk *open_partition(kelb_disk *disk, const kelb_partition &partition) {
  kelb_disk *d = new_handle(disk->device);
  handle *h = handle_of(d);
  h->part = partition;
  d->partition = &h->part;
  return d;
}

void fail_reads_at(kelb_disk *disk, uint64_t sector) { disk->device->failing.insert(sector); }

void clear_read_failures(kelb_disk *disk) { disk->device->failing.clear(); }

uint64_t read_count(const kelb_disk *disk) { return disk->device->reads; }
#endif

}  // namespace kelb_host
