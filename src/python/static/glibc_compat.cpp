// The static C++ runtime was compiled against this machine's glibc and asks for symbols that older
// glibc releases lack (getentropy 2.25, __libc_single_threaded 2.32, fstat64 2.33, pthread_once
// and __pthread_key_create 2.34, _dl_find_object 2.35, arc4random 2.36). The link redirects each
// one here (-Wl,--wrap, see src/python/CMakeLists.txt), to an equivalent that every glibc since
// 2.17 has, so that the wheel loads on manylinux2014 systems.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// The oldest versions of the symbols that glibc 2.34 moved or glibc 2.33 renamed.
extern "C" int tarnvel_old_pthread_once(pthread_once_t*, void (*)());
extern "C" int tarnvel_old_pthread_key_create(pthread_key_t*, void (*)(void*));
extern "C" int tarnvel_old_fxstat64(int, int, struct stat64*);
__asm__(".symver tarnvel_old_pthread_once, pthread_once@GLIBC_2.2.5");
__asm__(".symver tarnvel_old_pthread_key_create, __pthread_key_create@GLIBC_2.2.5");
__asm__(".symver tarnvel_old_fxstat64, __fxstat64@GLIBC_2.2.5");

namespace {

// getrandom(2) through syscall(2), which glibc has always had; loops over short reads.
int fill_random(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const long got = syscall(SYS_getrandom, out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return 0;
}

using ProgramHeader = ElfW(Phdr);

struct FindResult {
  std::uintptr_t pc;
  dl_find_object* result;
  bool found;
};

int find_object(dl_phdr_info* info, std::size_t, void* data) {
  auto* find = static_cast<FindResult*>(data);
  std::uintptr_t start = UINTPTR_MAX, end = 0;
  bool contains = false;
  const void* eh_frame = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ProgramHeader& segment = info->dlpi_phdr[i];
    const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_GNU_EH_FRAME) eh_frame = reinterpret_cast<const void*>(begin);
    if (segment.p_type != PT_LOAD) continue;
    if (begin < start) start = begin;
    if (begin + segment.p_memsz > end) end = begin + segment.p_memsz;
    if (find->pc >= begin && find->pc < begin + segment.p_memsz) contains = true;
  }
  if (!contains) return 0;
  *find->result = dl_find_object{};
  find->result->dlfo_map_start = reinterpret_cast<void*>(start);
  find->result->dlfo_map_end = reinterpret_cast<void*>(end);
  find->result->dlfo_eh_frame = const_cast<void*>(eh_frame);
  find->found = true;
  return 1;
}

}  // namespace

extern "C" {

// Never 1: the runtime then always takes its thread-safe path, which is right in every process.
char __wrap___libc_single_threaded = 0;

int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
  return tarnvel_old_pthread_once(once, init);
}

int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return tarnvel_old_pthread_key_create(key, destructor);
}

int __wrap_fstat64(int fd, struct stat64* buffer) {
  return tarnvel_old_fxstat64(1, fd, buffer);  // 1: _STAT_VER, the x86-64 stat layout
}

int __wrap_getentropy(void* buffer, std::size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  return fill_random(buffer, length);
}

std::uint32_t __wrap_arc4random() {
  std::uint32_t value = 0;
  while (fill_random(&value, sizeof value) != 0) {
  }
  return value;
}

// The unwinder's lookup of the object that holds a code address, through dl_iterate_phdr as
// unwinders did before glibc 2.35.
int __wrap__dl_find_object(void* pc, dl_find_object* result) {
  FindResult find{reinterpret_cast<std::uintptr_t>(pc), result, false};
  dl_iterate_phdr(find_object, &find);
  return find.found ? 0 : -1;
}

}  // extern "C"
