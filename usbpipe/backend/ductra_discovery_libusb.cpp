// How the libusb backend recognises the instrument: its vendor and product
// id, and an interface with one bulk IN and one bulk OUT endpoint. Reads only
// the descriptors libusb already holds.
#include <cerrno>
#include <fstream>

#include "usbpipe/backend/ductra_discovery.h"

namespace ductra {

uint16_t InstrumentVendorId() {
    return DUCTRA_USB_VENDOR_ID;
}

uint16_t InstrumentProductId() {
    return DUCTRA_USB_PRODUCT_ID;
}

bool HasInstrumentIds(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == InstrumentVendorId() &&
           descriptor.idProduct == InstrumentProductId();
}

bool FindBulkPair(const libusb_config_descriptor& config, BulkPair* pair) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        if (interface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        int in = 0;
        int out = 0;
        BulkPair found{setting.bInterfaceNumber, 0, 0, 0, 0};
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            if ((endpoint.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) {
                ++in;
                found.in_address = endpoint.bEndpointAddress;
                found.in_packet_size = endpoint.wMaxPacketSize & 0x7FF;
            } else {
                ++out;
                found.out_address = endpoint.bEndpointAddress;
                found.out_packet_size = endpoint.wMaxPacketSize & 0x7FF;
            }
        }
        if (in == 1 && out == 1) {
            *pair = found;
            return true;
        }
    }
    return false;
}

int InstrumentInterface(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return -1;
    if (!HasInstrumentIds(descriptor)) return -1;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return -1;
    BulkPair pair{};
    const bool found = FindBulkPair(*config, &pair);
    libusb_free_config_descriptor(config);
    return found ? pair.interface_number : -1;
}

std::string PortChain(libusb_device* device) {
    uint8_t ports[8] = {};
    const int depth = libusb_get_port_numbers(device, ports, static_cast<int>(sizeof(ports)));
    std::string chain = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i) chain += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return chain;
}

std::string SerialNumber(libusb_device* device) {
    std::ifstream cached("/sys/bus/usb/devices/" + PortChain(device) + "/serial");
    std::string serial;
    if (cached && std::getline(cached, serial)) return serial;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.iSerialNumber == 0)
        return "";
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) return "";
    unsigned char text[128] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                          static_cast<int>(sizeof(text)));
    libusb_close(handle);
    if (length <= 0) return "";
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

int SystemError(int libusb_error) {
    switch (libusb_error) {
        case LIBUSB_ERROR_ACCESS:
            return EACCES;
        case LIBUSB_ERROR_NO_DEVICE:
            return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND:
            return ENOENT;
        case LIBUSB_ERROR_BUSY:
            return EBUSY;
        case LIBUSB_ERROR_TIMEOUT:
            return ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW:
            return EOVERFLOW;
        case LIBUSB_ERROR_PIPE:
            return EPIPE;
        case LIBUSB_ERROR_INTERRUPTED:
            return EINTR;
        case LIBUSB_ERROR_NO_MEM:
            return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return ENOSYS;
        case LIBUSB_ERROR_INVALID_PARAM:
            return EINVAL;
        default:
            return EIO;
    }
}

}  // namespace ductra
