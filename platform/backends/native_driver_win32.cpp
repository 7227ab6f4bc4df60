// The platform's own driver on Windows: the card's virtual device driver,
// opened by its path and driven with device I/O control requests. The chip
// window is the memory the driver maps into the program (plain volatile
// accesses by the seam), and the control ports are reached with the
// processor's port instructions.
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "card/card_map.h"
#include "platform/backends/backends.h"
#include "platform/os.h"
#include "platform/os/win32/win32.h"

namespace platform {
namespace {

class NativeDriver final : public Device {
 public:
  explicit NativeDriver(HANDLE handle) : handle_(handle) {}
  ~NativeDriver() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  NativeDriver(const NativeDriver&) = delete;
  NativeDriver& operator=(const NativeDriver&) = delete;

  const char* backend() const override { return "windows driver"; }

  bool check(std::string* failure) override {
    DWORD error = ERROR_SUCCESS;
    if (call(card::code(DriverRequest::Check), nullptr, 0, nullptr, 0, nullptr,
             &error))
      return true;
    *failure = "the driver's check request failed: " + win32::errorText(error);
    return false;
  }

  // The driver maps the window into the program and returns its address; it
  // spans the card's whole window.
  bool mapWindow(Window* window, std::string* failure) override {
    std::uint8_t* base = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (!call(card::code(DriverRequest::MapChipWindow), nullptr, 0, &base,
              sizeof base, nullptr, &error)) {
      *failure = "the driver's map request failed: " + win32::errorText(error);
      return false;
    }
    if (base == nullptr) {
      *failure = "the driver mapped no chip window";
      return false;
    }
    *window = Window{base, card::kWindowSize};
    return true;
  }

  bool request(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize,
               std::uint32_t* bytesReturned) override {
    return call(code, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                nullptr);
  }

  // The processor's port instructions cannot fail.
  bool portOut32(std::uint16_t port, std::uint32_t value,
                 std::string* /*failure*/) override {
    win32::portOut32(port, value);
    return true;
  }
  bool portIn32(std::uint16_t port, std::uint32_t* value,
                std::string* /*failure*/) override {
    *value = win32::portIn32(port);
    return true;
  }

  // The connection ends now, or, while another thread's request is still in
  // the driver, as that request returns; no request starts after this.
  void onClose() override {
    os::LockGuard guard(lock_);
    closed_ = true;
    if (users_ == 0) closeNow();
  }

 private:
  // One device I/O control call; *error gets the system's error code when it
  // fails.
  bool call(std::uint32_t code, void* inBuffer, std::uint32_t inSize,
            void* outBuffer, std::uint32_t outSize,
            std::uint32_t* bytesReturned, DWORD* error) {
    HANDLE handle;
    {
      os::LockGuard guard(lock_);
      if (closed_) {
        if (bytesReturned != nullptr) *bytesReturned = 0;
        if (error != nullptr) *error = ERROR_INVALID_HANDLE;
        return false;
      }
      ++users_;
      handle = handle_;
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, code, inBuffer, inSize, outBuffer,
                                    outSize, &returned, nullptr);
    if (error != nullptr) *error = ok ? ERROR_SUCCESS : GetLastError();
    if (bytesReturned != nullptr) *bytesReturned = returned;
    release();
    return ok != FALSE;
  }

  void release() {
    os::LockGuard guard(lock_);
    if (--users_ == 0 && closed_) closeNow();
  }
  void closeNow() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  os::Lock lock_;
  HANDLE handle_;
  unsigned users_ = 0;
  bool closed_ = false;
};

}  // namespace

namespace backends {

std::shared_ptr<Device> openNativeDriver(const OpenRequest& request,
                                         std::string* failure) {
  // Access, share mode, disposition and flags all 0, as the driver expects;
  // no security attributes, no template.
  HANDLE handle = CreateFileA(request.path, 0, 0, nullptr, 0, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *failure = "the card's driver is not installed or cannot be opened: " +
               win32::errorText(error) +
               "; set TV940_DEVICE to sim for the simulated card";
    return nullptr;
  }
  try {
    return std::make_shared<NativeDriver>(handle);
  } catch (const std::bad_alloc&) {
    CloseHandle(handle);
    *failure = "out of memory";
    return nullptr;
  }
}

}  // namespace backends

}  // namespace platform
