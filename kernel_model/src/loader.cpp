// The loader: a driver image is a shared object opened with RTLD_LOCAL (so
// two drivers' routines never meet), given a driver object and called at
// DriverEntry on a system thread; unloading calls DriverUnload and closes it,
// so the next load starts from fresh globals.
#include "model.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>

namespace km::detail {
namespace {

struct Loaded {
    std::unique_ptr<Image> image;
    const void *base = nullptr;
    // Its segments span [begin, end): an address there is the image's.
    uintptr_t begin = 0;
    uintptr_t end = 0;
    std::u16string registryPath;
    UNICODE_STRING registryString{};
    bool unloaded = false;
};

std::vector<std::unique_ptr<Loaded>> &Images()
{
    static std::vector<std::unique_ptr<Loaded>> images;
    return images;
}

// Bumped whenever an image comes or goes.
uint64_t g_imagesVersion = 1;

// The span of the loaded segments of the object whose base is loaded->base.
int FindSpan(dl_phdr_info *info, size_t, void *data)
{
    Loaded *loaded = static_cast<Loaded *>(data);
    uintptr_t begin = UINTPTR_MAX;
    uintptr_t end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            begin = std::min<uintptr_t>(begin, info->dlpi_addr + segment.p_vaddr);
            end = std::max<uintptr_t>(end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
        }
    }
    if (begin > reinterpret_cast<uintptr_t>(loaded->base) || end <= reinterpret_cast<uintptr_t>(loaded->base)) {
        return 0;
    }
    loaded->begin = begin;
    loaded->end = end;
    return 1;
}

} // namespace

// A lookup of the spans of the loaded images, not of the dynamic linker's
// symbols: the model asks this for every DPC and work item it runs.
PDRIVER_OBJECT DriverOfAddress(const void *address)
{
    uintptr_t p = reinterpret_cast<uintptr_t>(address);
    for (auto &loaded : Images()) {
        if (!loaded->unloaded && p >= loaded->begin && p < loaded->end) {
            return loaded->image->driver;
        }
    }
    return nullptr;
}

uint64_t ImagesVersion()
{
    return g_imagesVersion;
}

void ResetLoader()
{
    ++g_imagesVersion;
    for (auto &loaded : Images()) {
        if (!loaded->unloaded && loaded->image->handle != nullptr) {
            dlclose(loaded->image->handle);
        }
    }
    Images().clear();
}

} // namespace km::detail

namespace km {

using namespace detail;

Image *LoadDriver(const std::string &path, const wchar_t *serviceName)
{
    auto loaded = std::make_unique<Loaded>();
    loaded->image = std::make_unique<Image>();
    Image *image = loaded->image.get();
    image->path = path;
    image->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    Loaded *record = loaded.get();
    Images().push_back(std::move(loaded));
    if (image->handle == nullptr) {
        std::fprintf(stderr, "kernel model: cannot load %s: %s\n", path.c_str(), dlerror());
        image->entryStatus = STATUS_OBJECT_NAME_NOT_FOUND;
        return image;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image->handle, "DriverEntry"));
    if (entry == nullptr) {
        std::fprintf(stderr, "kernel model: %s has no DriverEntry\n", path.c_str());
        image->entryStatus = STATUS_INVALID_PARAMETER;
        return image;
    }
    Dl_info info{};
    dladdr(reinterpret_cast<const void *>(entry), &info);
    record->base = info.dli_fbase;
    dl_iterate_phdr(FindSpan, record);
    ++g_imagesVersion;
    std::u16string service = Wide(serviceName);
    image->driver = NewDriverObject(u"\\Driver\\" + service);
    image->driver->DriverInit = entry;
    // As the I/O manager does, every major function starts out failing.
    for (PDRIVER_DISPATCH &routine : image->driver->MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    image->driver->DriverExtension->ServiceKeyName = UNICODE_STRING{};
    record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    record->registryString.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(record->registryPath.c_str()));
    record->registryString.Length = static_cast<USHORT>(record->registryPath.size() * 2);
    record->registryString.MaximumLength = record->registryString.Length;
    PDRIVER_OBJECT driver = image->driver;
    RunOnSystemThread(
        [&] {
            DriverScope scope(driver);
            image->entryStatus = entry(driver, &record->registryString);
        },
        "DriverEntry");
    // The I/O manager finishes the initialisation of devices made in DriverEntry.
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        d->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    Trace("DriverEntry " + path + " -> " + std::to_string(image->entryStatus));
    return image;
}

void UnloadDriver(Image *image)
{
    Loaded *record = nullptr;
    for (auto &loaded : Images()) {
        if (loaded->image.get() == image) {
            record = loaded.get();
        }
    }
    if (record == nullptr || record->unloaded) {
        return;
    }
    PDRIVER_OBJECT driver = image->driver;
    if (driver != nullptr && driver->DeviceObject != nullptr) {
        Violate("DEVICE_LEAK", DeviceLabel(driver->DeviceObject) + " of " + image->path + " still exists at unload");
    }
    if (driver != nullptr && driver->DriverUnload != nullptr) {
        RunOnSystemThread(
            [&] {
                DriverScope scope(driver);
                driver->DriverUnload(driver);
            },
            "DriverUnload");
    }
    if (driver != nullptr) {
        // The image goes now: whatever the kernel would still call in it, or
        // pool the driver still holds, is a fault the driver left behind.
        CheckTimersOfImage(driver);
        CheckWorkItemsOfImage(driver);
        CheckIrpsOfImage(driver);
        CheckPoolOfImage(driver);
    }
    if (image->handle != nullptr) {
        // A context may still be on its way out of the driver's code (a
        // completion routine returning from KeSetEvent, say): let everything
        // that can run finish before the code goes away.
        RunUntilIdle();
        dlclose(image->handle);
    }
    record->unloaded = true;
    ++g_imagesVersion;
}

void *Symbol(Image *image, const char *name)
{
    return image->handle == nullptr ? nullptr : dlsym(image->handle, name);
}

} // namespace km
