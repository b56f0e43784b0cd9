#include "jobs/StringTable.h"

#include "fat16/Trace.h"

#include <array>
#include <cstdio>
#include <utility>

namespace pellorin {

namespace {

// The numbered strings exactly as the program shows them ("\r\n" is a line break).
constexpr std::array<std::pair<unsigned, std::string_view>, 22> kStrings{{
    {IDS_NOT_A_USB_DEVICE,
     "The drive you have selected does not appear to be a valid USB flash device.  Please select "
     "another drive or click \"Update Drives\" to re-enumerate the available devices."},
    {IDS_NETWORK_DRIVE,
     "The drive you have selected appears to be a betwork resource share or mapped drive.  Please "
     "select another drive or click \"Update Drives\" to re-enumerate the available devices."},
    {IDS_USB_WRITE_FAILED,
     "An unexpected error occurred while writing to the USB flash device.\r\n\r\nCheck to ensure "
     "that the USB flash device is connected properly and is not write-protected and that the "
     "device is of sufficient capacity to hold the recovery image and tools."},
    {IDS_USB_FORMAT_DONE, "The USB flash device has been formatted successfully."},
    {IDS_IMAGE_SOURCE_FAILED, "An error occurred while attempting to open the image source file."},
    {IDS_USB_OPEN_FAILED,
     "An error occurred while attempting to open the USB flash device.\r\n\r\nIf another "
     "application is writing to the device please close the application and retry the operation."},
    {IDS_ISO_CREATE_FAILED,
     "An error occurred while attempting to create the ISO file.\r\n\r\nMake sure there is enough "
     "free disk space available to store the ISO image file, and that you currently have write "
     "permissions to the location you specified for storing the file."},
    {IDS_ISO_CREATE_DONE,
     "The ISO image has been created successfully and is now ready for use in your CD mastering "
     "software."},
    {IDS_DEPLOYMENT_DONE,
     "The tools and image have been successfully written to the desired location.  Please review "
     "the provided documentation for any additional information on their usage."},
    {IDS_DEPLOYMENT_FAILED,
     "An error occured while attempting to unpack the image and tools.\r\n\r\nMake sure there is "
     "enough free disk space available to store the deployment files, and that you currently have "
     "write permissions to the location you specified for storing the files."},
    {IDS_CONFIRM_CANCEL_FORMAT,
     "Formatting of te USB device is not yet complete.  Are you sure ou want to cancel this "
     "operation?"},
    {IDS_CONFIRM_CANCEL_ISO,
     "Creation of the ISO image file is not yet complete.  Are you\r\nsure you want to cancel the "
     "operation?"},
    {IDS_CALCULATING_HEADER, "Calculating header information..."},
    {IDS_FORMATTING_PERCENT, "Formatting: %d%%."},
    {IDS_CONFIRM_OVERWRITE_TOOL,
     "The image restoration utility appears to exist in the destination directory.  Do you want "
     "to overwrite the file?"},
    {IDS_CONFIRM_OVERWRITE_IMAGE,
     "A flash image appears to exist in the destination directory.  Do you want to overwrite the "
     "file?"},
    {IDS_CONFIRM_OVERWRITE_DOCS,
     "The restore documentation appears to exist in the destination directory.  Do you want to "
     "overwrite the file?"},
    {IDS_EXTRACTING_TOOL, "Extracting the image restoration utility."},
    {IDS_EXTRACTING_IMAGE, "Extracting the flash image."},
    {IDS_EXTRACTING_DOCS, "Extracting the restore documentation."},
    {IDS_CONFIRM_OVERWRITE_USB,
     "You are about to overwrite the contents of your USB flash device.\r\nAre you sure you want "
     "to continue?"},
    {IDS_CONFIRM_CANCEL_EXTRACT,
     "Extraction of the image files is not yet complete.  Are you\r\nsure you want to cancel the "
     "operation?"},
}};

}  // namespace

std::string_view LoadStringText(unsigned id) {
    for (const auto& [key, text] : kStrings) {
        if (key == id) return text;
    }
    return {};
}

std::string FormatPercentText(unsigned percent) {
    const std::string format(LoadStringText(IDS_FORMATTING_PERCENT));
    char line[64];
    std::snprintf(line, sizeof line, format.c_str(), static_cast<int>(percent));
    return line;
}

std::string WithDetail(std::string_view message, std::string_view subject, std::string_view reason) {
    std::string text(message);
    if (subject.empty()) return text;
    text.append("\r\n\r\n").append(subject);
    if (!reason.empty()) text.append(": ").append(reason);
    return text;
}

std::string WithErrorDetail(std::string_view message, std::string_view subject, int code) {
    char reason[256];
    GetErrorText(static_cast<DWORD>(code), reason, sizeof reason);
    return WithDetail(message, subject, reason);
}

std::string WithSubject(std::string_view message, std::string_view subject) {
    return WithDetail(message, subject, {});
}

}  // namespace pellorin
