#include "app/properties/stringtable.h"

#include <array>

namespace {
struct StringResource
{
    int id;
    const char *text;
};

// The spaces around the group captions belong to the texts: they keep the frame line
// clear of the caption.
constexpr std::array<StringResource, 5> table{{
    {StringId::HardwareCaption, " Hardware "},
    {StringId::VersionCaption, "Version :"},
    {StringId::BootstrapCaption, " Bootstrap "},
    {StringId::KernelCaption, " Kernel "},
    {StringId::FirmwareCaption, " Firmware "},
}};
} // namespace

QString LoadResString(int id)
{
    for (const StringResource &entry : table)
        if (entry.id == id)
            return QString::fromLatin1(entry.text);
    return QString();
}
