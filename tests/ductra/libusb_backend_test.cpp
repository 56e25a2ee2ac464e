// The libusb backend against a scripted USB instrument: umockdev stands in
// sysfs, udev and the usbfs device node, and the handler below answers the
// usbfs requests libusb makes (claim, submit, reap, discard) from a script.
// Runs under umockdev-wrapper.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "probe/probe.h"
#include "probe_golden.h"
#include "trace_lines.h"
#include "usbpipe/ductra.h"
#include "usbpipe/ductra_internal.h"
#include "usbpipe/trace/trace_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Captured;
void Capture(const char* text, std::size_t length) {
    Captured.append(text, length);
}

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

// Fills an IN URB with `bytes` (at most its buffer length). The handler runs
// in the test process, so the client's buffer pointer is valid here.
void Fill(usbdevfs_urb* urb, const Bytes& bytes) {
    std::size_t n = bytes.size();
    if (n > static_cast<std::size_t>(urb->buffer_length)) n = urb->buffer_length;
    if (n > 0) std::memcpy(urb->buffer, bytes.data(), n);
    urb->actual_length = static_cast<int>(n);
}

// One URB the device has been handed and not yet given back.
struct Urb {
    UMockdevIoctlData* data;  // the client's usbdevfs_urb, owned (ref)
    bool ready;               // completed, waiting to be reaped
    int status;
};

// The instrument: every OUT transfer is recorded; every IN transfer takes the
// next queued answer, or waits until an answer comes (or it is discarded by
// libusb, giving back `bytes_on_discard` if set).
struct ScriptedInstrument {
    std::mutex mutex;
    std::vector<Bytes> written;
    std::deque<Bytes> answers;
    Bytes bytes_on_discard;
    int short_write = -1;  // >= 0: the next OUT transfer moves only this many bytes
    std::deque<Urb> urbs;
    std::vector<int> in_lengths;  // buffer length of every IN URB
    int claims = 0;
    int releases = 0;
    int claim_error = 0;  // nonzero: a claim of the interface is refused with this errno

    // The device sends an answer: into the IN transfer waiting for it, or,
    // while none waits, into its endpoint's queue.
    void Answer(Bytes bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        for (Urb& urb : urbs) {
            if (!urb.ready && (UrbOf(urb.data)->endpoint & 0x80) != 0) {
                Fill(UrbOf(urb.data), bytes);
                urb.ready = true;
                return;
            }
        }
        answers.push_back(std::move(bytes));
    }
};

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* device = static_cast<ScriptedInstrument*>(user);
    std::lock_guard<std::mutex> lock(device->mutex);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32*>(caps->data) =
                USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
            if (device->claim_error != 0) {
                umockdev_ioctl_client_complete(client, -1, device->claim_error);
                return TRUE;
            }
            ++device->claims;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_RELEASEINTERFACE:
            ++device->releases;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver is bound to the interface.
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            usbdevfs_urb* urb = UrbOf(data);
            Urb entry{data, false, 0};
            if ((urb->endpoint & 0x80) == 0) {
                UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
                    data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), urb->buffer_length, nullptr);
                device->written.emplace_back(buffer->data, buffer->data + buffer->data_len);
                g_object_unref(buffer);
                urb->actual_length = urb->buffer_length;
                if (device->short_write >= 0) {
                    urb->actual_length = device->short_write;
                    device->short_write = -1;
                }
                entry.ready = true;
            } else {
                device->in_lengths.push_back(urb->buffer_length);
                if (!device->answers.empty()) {
                    Fill(urb, device->answers.front());
                    device->answers.pop_front();
                    entry.ready = true;
                }
            }
            device->urbs.push_back(entry);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB: {
            for (Urb& urb : device->urbs) {
                if (urb.data->client_addr ==
                        reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data)) &&
                    !urb.ready) {
                    Fill(UrbOf(urb.data), device->bytes_on_discard);
                    device->bytes_on_discard.clear();
                    urb.ready = true;
                    urb.status = -ENOENT;
                    umockdev_ioctl_client_complete(client, 0, 0);
                    return TRUE;
                }
            }
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            for (auto it = device->urbs.begin(); it != device->urbs.end(); ++it) {
                if (!it->ready) continue;
                UrbOf(it->data)->status = it->status;
                UMockdevIoctlData* out =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
                umockdev_ioctl_data_set_ptr(out, 0, it->data);
                g_object_unref(out);
                g_object_unref(it->data);
                device->urbs.erase(it);
                umockdev_ioctl_client_complete(client, 0, 0);
                return TRUE;
            }
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

// Two hex digits per byte.
std::string Hex(uint16_t value) {
    char text[5];
    std::snprintf(text, sizeof(text), "%02x%02x", value & 0xFF, value >> 8);
    return text;
}

// The instrument's descriptors: one configuration with one vendor-specific
// interface, bulk IN 0x81 and bulk OUT 0x02, 64-byte packets; or, `in_only`,
// bulk IN 0x81 and an interrupt IN 0x83 and no OUT pipe.
std::string Descriptors(uint16_t vendor, uint16_t product, bool in_only, uint16_t in_packet) {
    return "12010002000000 40" + Hex(vendor) + Hex(product) + "0001010203 01" +
           "09022000010100 8032" + "090400000 2ff000000" + "07058102" + Hex(in_packet) + "00" +
           (in_only ? "0705830340 000a" : "0705020240 0000");
}

class LibusbBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), &device_);
        Captured.clear();
        ductra::SetOutputSink(Capture);
        DuctraChatty(0);
    }
    void TearDown() override {
        DuctraClose();
        ductra::SetOutputSink(nullptr);
        ductra::SetProbeHost(nullptr);
        g_clear_object(&handler_);
        g_clear_object(&testbed_);
        for (Urb& urb : device_.urbs) g_object_unref(urb.data);
    }

    // Attaches a USB device with the given ids (and product name) as
    // /dev/bus/usb/001/<devnum>; without `node`, its device node is missing.
    // `serial` gives it a USB serial number.
    void Attach(uint16_t vendor, uint16_t product, int devnum = 2, const char* name = "",
                bool in_only = false, bool node = true, const char* serial = "") {
        char path[32];
        std::snprintf(path, sizeof(path), "/dev/bus/usb/001/%03d", devnum);
        if (node) {
            ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, path, handler_, nullptr));
        }
        std::string descriptors = Descriptors(vendor, product, in_only, in_packet_size_);
        std::string clean;
        for (char c : descriptors) {
            if (c != ' ') clean += c;
        }
        char record[1024];
        std::snprintf(
            record, sizeof(record),
            "P: /devices/usb1/1-%d\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\n"
            "E: DEVNAME=/dev/bus/usb/001/%03d\nE: DEVTYPE=usb_device\n"
            "E: BUSNUM=001\nE: DEVNUM=%03d\nA: busnum=1\\n\nA: devnum=%d\\n\n"
            "A: bConfigurationValue=1\\n\nA: speed=12\\n\n%s%s%s%s%s%sH: descriptors=%s\n",
            devnum, devnum, devnum, devnum, devnum, *name ? "A: product=" : "", name,
            *name ? "\\n\n" : "", *serial ? "A: serial=" : "", serial, *serial ? "\\n\n" : "",
            clean.c_str());
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, record, nullptr));
        if (!node) {
            // The device is listed, but its node has gone (it left the bus).
            gchar* root = umockdev_testbed_get_root_dir(testbed_);
            const std::string file = std::string(root) + path;
            g_free(root);
            ASSERT_EQ(unlink(file.c_str()), 0) << file;
        }
    }

    uint16_t in_packet_size_ = 64;  // of the bulk IN endpoint; 512 at high speed
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    ScriptedInstrument device_;
};

constexpr uint16_t kVendor = DUCTRA_USB_VENDOR_ID;
constexpr uint16_t kProduct = DUCTRA_USB_PRODUCT_ID;

TEST_F(LibusbBackend, OpenFindsTheInstrumentAndReportsItsBulkPipes) {
    Attach(kVendor, kProduct);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(Captured,
              "Device path:  /dev/bus/usb/001/002\n"
              "Endpoint index: 0 Pipe type: Bulk Pipe ID: \x81.\n"
              "Endpoint index: 1 Pipe type: Bulk Pipe ID: \x02.\n"
              "DuctraOpen success\r\n");
    EXPECT_EQ(device_.claims, 1);
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(device_.releases, 1);
}

TEST_F(LibusbBackend, FrameGoesOutAndAnswerComesBackByteForByte) {
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    Captured.clear();

    Bytes frame = {0x01, 0x82, 0x02, 0x00, 0x00, 0x00, 0x3C, 0xA1};
    EXPECT_EQ(DuctraSend(frame.data(), static_cast<uint32_t>(frame.size()), 10000), 0);
    ASSERT_EQ(device_.written.size(), 1u);
    EXPECT_EQ(device_.written[0], frame);
    EXPECT_EQ(Captured,
              "DuctraSend status: 8 bytes copied into pipe\r\n"
              "DuctraSend status: 8 bytes send \r\n");

    Captured.clear();
    device_.Answer({0x00, 0x00, 0x03, 0x00, 0x07, 0x04, 0x2A, 0x5E, 0xC3});
    uint8_t buffer[1024] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), 0);
    ASSERT_EQ(count, 9u);
    EXPECT_EQ(Bytes(buffer, buffer + count),
              Bytes({0x00, 0x00, 0x03, 0x00, 0x07, 0x04, 0x2A, 0x5E, 0xC3}));
    EXPECT_EQ(Captured,
              "DuctraReceive have 1024 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 1024 bytes\r\n"
              "DuctraReceive state: Read 9 bytes\r\n"
              "00 00 03 00 07 04 2A 5E C3 \n");
    ASSERT_EQ(device_.in_lengths.size(), 1u);
    EXPECT_EQ(device_.in_lengths[0], 1024);
}

TEST_F(LibusbBackend, ShortSendIsATimeOut) {
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    Captured.clear();
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        device_.short_write = 3;
    }
    uint8_t frame[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(DuctraSend(frame, sizeof(frame), 1000), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(Captured,
              "DuctraSend status: 8 bytes copied into pipe\r\n"
              "DuctraSend status: 3 bytes send \r\n"
              "DuctraSend Error: TIMEOUT_OCCUR\r\n");
}

TEST_F(LibusbBackend, ReadsAskForWholePacketsAndKeepWhatDoesNotFit) {
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    DuctraChatty(1);
    Captured.clear();
    // A 10-byte request becomes one 64-byte packet; the 12 bytes that came
    // in are handed out 10 and then 2, without a second transfer.
    device_.Answer({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    uint8_t buffer[16] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, 10, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(buffer[10], 0) << "nothing written past the capacity";
    EXPECT_EQ(DuctraReceive(buffer, 10, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({11, 12}));
    // A capacity between one and two packets asks for two: the whole
    // 100-byte answer the device sends comes in one receive.
    Bytes sent(100);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i + 1);
    device_.Answer(sent);
    uint8_t large[128] = {};
    EXPECT_EQ(DuctraReceive(large, 100, 2000, &count), 0);
    EXPECT_EQ(count, sent.size());
    EXPECT_EQ(Bytes(large, large + count), sent);
    EXPECT_EQ(device_.in_lengths, std::vector<int>({64, 128}));
    EXPECT_EQ(Captured, "");
}

// A high-speed instrument's 512-byte packets: a read asks for whole ones.
TEST_F(LibusbBackend, HighSpeedReadsAskForWhole512BytePackets) {
    in_packet_size_ = 512;
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    device_.Answer({1, 2, 3});
    uint8_t buffer[600] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, 10, 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({1, 2, 3}));
    device_.Answer({4});
    EXPECT_EQ(DuctraReceive(buffer, 600, 2000, &count), 0);
    EXPECT_EQ(device_.in_lengths, std::vector<int>({512, 1024}));
}

TEST_F(LibusbBackend, ReceiveTimeOutLeavesCountAlone) {
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    Captured.clear();
    uint8_t buffer[64] = {};
    uint32_t count = 77;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 20, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(Captured,
              "DuctraReceive have 64 bytes to read\r\n"
              "DuctraReceive state: Start pipe read of 64 bytes\r\n"
              "DuctraReceive Error: TIMEOUT_OCCUR\r\n");
}

TEST_F(LibusbBackend, BytesOfATimedOutReadComeWithTheNextReceive) {
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    DuctraChatty(1);
    uint8_t buffer[64] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 20, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(buffer[0], 0);
    // The device answers after the time-out, into the read still waiting.
    device_.Answer({0x00, 0x00, 0x05});
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 20, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({0x00, 0x00, 0x05}));
    EXPECT_EQ(device_.in_lengths.size(), 1u) << "delivered without another transfer";

    // A send throws away whatever is still kept.
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        device_.bytes_on_discard = {0x09};
    }
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 20, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    uint8_t frame[] = {0x01};
    EXPECT_EQ(DuctraSend(frame, 1, 1000), 0);
    device_.Answer({0x42});
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({0x42}));
}

TEST_F(LibusbBackend, AnswerArrivingAfterTheTimeOutIsNotTakenForTheNextOne) {
    Attach(kVendor, kProduct);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    DuctraChatty(1);
    uint8_t first[] = {0x01, 0x82, 0x02, 0x00, 0x03, 0x00, 0x5A, 0x6D};
    uint8_t second[] = {0x01, 0x09, 0x00, 0x00, 0xB8, 0xBE};
    uint8_t buffer[1024] = {};
    uint32_t count = 0;
    EXPECT_EQ(DuctraSend(first, sizeof(first), 10000), 0);
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 20, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    // The answer to the first request comes late, in two transfers.
    device_.Answer({0x00, 0x00, 0x04, 0x00, 0x05, 0x02});
    device_.Answer({0x85, 0x01, 0x7E, 0x21});

    EXPECT_EQ(DuctraSend(second, sizeof(second), 10000), 0);
    device_.Answer({0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(DuctraReceive(buffer, sizeof(buffer), 2000, &count), 0);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(device_.written, std::vector<Bytes>({Bytes(first, first + sizeof(first)),
                                                   Bytes(second, second + sizeof(second))}));
}

// The real shared library, loaded and unloaded with the instrument open and a
// read still pending: unloading gives the read back and releases the interface.
TEST_F(LibusbBackend, UnloadingTheLibraryReleasesTheInstrument) {
    Attach(kVendor, kProduct);
    void* library = dlopen(DUCTRA_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto chatty = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(library, "DuctraChatty"));
    auto open = reinterpret_cast<int32_t (*)()>(dlsym(library, "DuctraOpen"));
    auto receive = reinterpret_cast<int32_t (*)(uint8_t*, int32_t, int32_t, uint32_t*)>(
        dlsym(library, "DuctraReceive"));
    ASSERT_TRUE(chatty != nullptr && open != nullptr && receive != nullptr);
    chatty(1);
    ASSERT_EQ(open(), DUCTRA_RESPONSE_SUCCESS);
    uint8_t buffer[64] = {};
    uint32_t count = 0;
    EXPECT_EQ(receive(buffer, sizeof(buffer), 20, &count), DUCTRA_RESPONSE_TIMEOUT_OCCUR);
    EXPECT_EQ(device_.claims, 1);
    EXPECT_EQ(device_.releases, 0);
    EXPECT_EQ(device_.urbs.size(), 1u);

    EXPECT_EQ(dlclose(library), 0);
    EXPECT_EQ(device_.releases, 1);
    EXPECT_TRUE(device_.urbs.empty()) << "the pending read is given back";
}

TEST_F(LibusbBackend, NoInstrumentAttached) {
    Attach(static_cast<uint16_t>(kVendor + 1), kProduct);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, "Error 19.DuctraOpen Error: NO_DEVICE_FOUND\r\n");
    EXPECT_EQ(device_.claims, 0);

    Captured.clear();
    uint8_t frame[] = {0x01};
    uint32_t count = 5;
    EXPECT_EQ(DuctraSend(frame, 1, 1000), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(DuctraReceive(frame, 1, 10, &count), DUCTRA_RESPONSE_NO_VALID_HANDLER);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Captured,
              "DuctraSend Error: NO_VALID_HANDLER\r\nDuctraReceive Error: NO_VALID_HANDLER\r\n");

    Captured.clear();
    DuctraChatty(1);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, "");
    // The version line is printed while quiet all the same.
    EXPECT_EQ(DuctraVersion(), 1100);
    EXPECT_EQ(Captured, "DuctraVersion: 1104\r\n");
    Captured.clear();

    // Only the low 8 bits count: 256 is chatty again, 257 quiet.
    EXPECT_EQ(DuctraChatty(256), 0);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, "Error 19.DuctraOpen Error: NO_DEVICE_FOUND\r\n");
    Captured.clear();
    EXPECT_EQ(DuctraChatty(257), 0);
    EXPECT_EQ(DuctraOpen(), DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND);
    EXPECT_EQ(Captured, "");
}

TEST_F(LibusbBackend, ReopenFindsTheInstrumentAgainAfterItsReset) {
    Attach(kVendor, kProduct, 2);
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(DuctraClose(), 0);
    EXPECT_EQ(device_.releases, 1);

    // The instrument resets: it leaves the bus and comes back at a new address.
    umockdev_testbed_remove_device(testbed_, "/sys/devices/usb1/1-2");
    Attach(kVendor, kProduct, 3);
    Captured.clear();
    ASSERT_EQ(DuctraOpen(), DUCTRA_RESPONSE_SUCCESS);
    EXPECT_EQ(Captured.rfind("Device path:  /dev/bus/usb/001/003\n", 0), 0u) << Captured;
    uint8_t frame[] = {0x01, 0x02};
    EXPECT_EQ(DuctraSend(frame, 2, 1000), 0);
    ASSERT_EQ(device_.written.size(), 1u);
    EXPECT_EQ(device_.written[0], Bytes({0x01, 0x02}));
}

// DUCTRA_DEVICE with two instruments attached: at ports 1-2 (serial ABC123)
// and 1-3 (serial XYZ789). The chosen one is opened; one not attached, or a
// value that names none, fails as with no instrument.
TEST_F(LibusbBackend, DeviceChoiceOpensTheNamedInstrument) {
    Attach(kVendor, kProduct, 2, "", false, true, "ABC123");
    Attach(kVendor, kProduct, 3, "", false, true, "XYZ789");
    const char* const kOpened2 = "Device path:  /dev/bus/usb/001/002\n";
    const char* const kOpened3 = "Device path:  /dev/bus/usb/001/003\n";
    const char* const kNone = "Error 19.DuctraOpen Error: NO_DEVICE_FOUND\r\n";
    const char* const kRefused =
        "ductra: DUCTRA_DEVICE=%s: expected port=BUS-PORT[.PORT...] (such as port=1-4.2) or "
        "serial=TEXT\n";
    const struct {
        const char* value;  // nullptr: unset
        int32_t result;
        const char* first_line;
        bool refused;
    } rows[] = {
        {nullptr, DUCTRA_RESPONSE_SUCCESS, kOpened3, false},
        {"port=1-2", DUCTRA_RESPONSE_SUCCESS, kOpened2, false},
        {"port=1-3", DUCTRA_RESPONSE_SUCCESS, kOpened3, false},
        {"serial=ABC123", DUCTRA_RESPONSE_SUCCESS, kOpened2, false},
        {"serial=XYZ789", DUCTRA_RESPONSE_SUCCESS, kOpened3, false},
        {"port=1-4", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, kNone, false},
        {"serial=abc123", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, kNone, false},
        {"port=1-02", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, "DuctraOpen Error: NO_DEVICE_FOUND\r\n",
         true},
        {"serial=", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, "DuctraOpen Error: NO_DEVICE_FOUND\r\n",
         true},
        {"1-2", DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND, "DuctraOpen Error: NO_DEVICE_FOUND\r\n",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value != nullptr ? row.value : "unset");
        if (row.value != nullptr) setenv("DUCTRA_DEVICE", row.value, 1);
        Captured.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(DuctraOpen(), row.result);
        const std::string errors = testing::internal::GetCapturedStderr();
        unsetenv("DUCTRA_DEVICE");
        EXPECT_EQ(Captured.substr(0, std::strlen(row.first_line)), row.first_line) << Captured;
        char refusal[256] = "";
        if (row.refused) std::snprintf(refusal, sizeof(refusal), kRefused, row.value);
        EXPECT_EQ(errors, refusal);
        EXPECT_EQ(DuctraClose(), 0);
    }
}

// ductra-probe on the same scripted bus, one row per situation: the whole
// report is compared with tests/golden/probe/linux-NAME.txt, the exit code
// with the verdict, and DuctraOpen on the same bus with the result the
// library gives there, so that the probe and the library agree. The probe
// only looks: it never claims the interface or moves a byte. The account,
// the device node's group and mode, and a refusal of the node by this
// account come from the probe's host seams (the tests run as any user); the
// udev rules are files under a scratch folder, named relative to it.
constexpr int kOpenNotAsked = 1;  // the refusal is the seam's alone: the library is not asked

struct LinuxSituation {
    const char* name;
    int verdict;
    int open_result;                   // DuctraOpen on the same bus, or kOpenNotAsked
    bool bus = true;                   // false: no USB device at all
    bool ids = true;                   // the build's ids, or others
    bool in_only = false;              // bulk IN and interrupt IN, no OUT pipe
    bool node = true;                  // the device node exists
    const char* driver = "";           // kernel driver on the interface
    int claim_error = 0;               // the interface's claim refused with this errno
    int refusal = 0;                   // the seam refuses the node with this errno
    const char* rule_group = nullptr;  // a site rule for the build's ids giving this group, or none
    const char* node_group = "root";
    const char* groups = "";  // the groups the account is listed in, each followed by ' '
    const char* login = "";   // the groups this login carries, likewise
    bool sudo = true;         // the account may use sudo
    bool two = false;         // serial ABC123 at 1-2, and a second instrument, XYZ789, at 1-3
};

const LinuxSituation kLinuxSituations[] = {
    {.name = "ready", .verdict = 0, .open_result = DUCTRA_RESPONSE_SUCCESS},
    {.name = "usb-unreadable",
     .verdict = 1,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .bus = false},
    {.name = "no-instrument",
     .verdict = 2,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .ids = false},
    {.name = "refused-no-rule", .verdict = 3, .open_result = kOpenNotAsked, .refusal = EACCES},
    {.name = "refused-rule-other-group",
     .verdict = 3,
     .open_result = kOpenNotAsked,
     .refusal = EACCES,
     .rule_group = "dialout",
     .node_group = "dialout",
     .groups = "plugdev ",
     .login = "plugdev "},
    {.name = "refused-login-predates-group",
     .verdict = 3,
     .open_result = kOpenNotAsked,
     .refusal = EACCES,
     .rule_group = "plugdev",
     .node_group = "plugdev",
     .groups = "plugdev "},
    {.name = "refused-rule-not-applied-no-sudo",
     .verdict = 3,
     .open_result = kOpenNotAsked,
     .refusal = EACCES,
     .rule_group = "plugdev",
     .sudo = false},
    {.name = "in-use",
     .verdict = 4,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .driver = "usbfs",
     .claim_error = EBUSY},
    {.name = "kernel-driver",
     .verdict = 0,
     .open_result = DUCTRA_RESPONSE_SUCCESS,
     .driver = "usbhid"},
    {.name = "in-only",
     .verdict = 5,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .in_only = true},
    {.name = "gone",
     .verdict = 6,
     .open_result = DUCTRA_RESPONSE_USB_DEVICE_NOT_FOUND,
     .node = false},
    {.name = "two-instruments", .verdict = 0, .open_result = DUCTRA_RESPONSE_SUCCESS, .two = true},
};

// Names the row in gtest's messages.
void PrintTo(const LinuxSituation& situation, std::ostream* out) {
    *out << situation.name;
}

const LinuxSituation* Situation = nullptr;

bool Among(const char* list, const char* group) {
    return std::string(list).find(std::string(group) + " ") != std::string::npos;
}

int SeamOpenNode(const char* path) {
    if (Situation->refusal != 0) return Situation->refusal;
    return ductra::RealProbeHost().open_node(path);
}

void SeamNode(const char*, ductra::ProbeNode* node) {
    *node = ductra::ProbeNode{true, "", 0660};
    std::snprintf(node->group, sizeof(node->group), "%s", Situation->node_group);
}

void SeamAccount(const char* group, ductra::ProbeAccount* account) {
    *account = ductra::ProbeAccount{"tech", true, Among(Situation->groups, group),
                                    Among(Situation->login, group), Situation->sudo};
}

class ProbeTable : public LibusbBackend, public ::testing::WithParamInterface<LinuxSituation> {};

TEST_P(ProbeTable, ReportMatchesItsFileAndTheLibraryAgrees) {
    const LinuxSituation& situation = GetParam();
    Situation = &situation;
    device_.claim_error = situation.claim_error;
    if (situation.bus) {
        ASSERT_NO_FATAL_FAILURE(Attach(situation.ids ? kVendor : static_cast<uint16_t>(kVendor + 1),
                                       kProduct, 2, "Instrument", situation.in_only, situation.node,
                                       situation.two ? "ABC123" : ""));
    }
    if (situation.two) {
        ASSERT_NO_FATAL_FAILURE(Attach(kVendor, kProduct, 3, "Instrument", false, true, "XYZ789"));
    }
    if (*situation.driver != '\0') {
        const std::string record = std::string("P: /devices/usb1/1-2/1-2:1.0\nE: SUBSYSTEM=usb\n") +
                                   "E: DEVTYPE=usb_interface\nE: DRIVER=" + situation.driver +
                                   "\nA: bInterfaceNumber=00\\n\nL: driver=../../../../bus/usb/"
                                   "drivers/" +
                                   situation.driver + "\n";
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, record.c_str(), nullptr));
    }
    // The rules are looked for under a scratch folder, named relative to it.
    char folder[] = "/tmp/ductra-probe-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(folder), 0);
    const char* site = "etc/udev/rules.d/70-ductra.rules";
    if (situation.rule_group != nullptr) {
        ASSERT_EQ(mkdir("etc", 0700), 0);
        ASSERT_EQ(mkdir("etc/udev", 0700), 0);
        ASSERT_EQ(mkdir("etc/udev/rules.d", 0700), 0);
        std::FILE* rule = std::fopen(site, "w");
        ASSERT_NE(rule, nullptr);
        std::fprintf(rule,
                     "# the site's own\nSUBSYSTEM==\"usb\", ATTR{idVendor}==\"%04x\", "
                     "ATTR{idProduct}==\"%04x\", MODE=\"0660\", GROUP=\"%s\"\n",
                     kVendor, kProduct, situation.rule_group);
        std::fclose(rule);
    }
    const ductra::ProbeHost host = {SeamOpenNode, SeamNode, site,
                                    "lib/udev/rules.d/70-ductra.rules", SeamAccount};
    ductra::SetProbeHost(&host);
    const int code = ductra::RunProbe(Capture);
    // With two, also the list of both, as text and as JSON.
    std::string listed;
    if (situation.two) {
        Captured.swap(listed);
        EXPECT_EQ(ductra::RunProbe(Capture, ductra::ProbeOutput::kList), situation.verdict);
        CompareWithProbeGolden("linux-two-instruments-list.txt", Captured);
        Captured.clear();
        EXPECT_EQ(ductra::RunProbe(Capture, ductra::ProbeOutput::kJson), situation.verdict);
        CompareWithProbeGolden("linux-two-instruments.json", Captured);
        Captured.swap(listed);
    }
    ductra::SetProbeHost(nullptr);
    std::remove(site);
    rmdir("etc/udev/rules.d");
    rmdir("etc/udev");
    rmdir("etc");
    EXPECT_EQ(chdir(previous), 0);
    std::free(previous);
    rmdir(folder);

    EXPECT_EQ(code, situation.verdict);
    CompareWithProbeGolden(std::string("linux-") + situation.name + ".txt", Captured);
    EXPECT_EQ(device_.claims, 0) << "the probe claims nothing";
    EXPECT_TRUE(device_.urbs.empty() && device_.in_lengths.empty() && device_.written.empty());

    if (situation.open_result != kOpenNotAsked) {
        EXPECT_EQ(DuctraOpen(), situation.open_result);
    }
    Situation = nullptr;
}

// Every verdict is reached by a row.
TEST(ProbeTableRows, ReachEveryVerdict) {
    for (int verdict = 0; verdict <= 6; ++verdict) {
        bool reached = false;
        for (const LinuxSituation& situation : kLinuxSituations) {
            reached = reached || situation.verdict == verdict;
        }
        EXPECT_TRUE(reached) << "verdict " << verdict;
    }
}

INSTANTIATE_TEST_SUITE_P(Situations, ProbeTable, ::testing::ValuesIn(kLinuxSituations),
                         [](const auto& entry) {
                             std::string name = entry.param.name;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

// One line per call of the program, its own releases not among them, the
// file its owner's alone, and the lines of two threads whole while a second
// writer is refused.
TEST_F(LibusbBackend, TraceHoldsOneLinePerCall) {
    Attach(kVendor, kProduct);
    const std::string path = ::testing::TempDir() + "libusb-" + std::to_string(getpid()) + ".trace";
    ASSERT_NO_FATAL_FAILURE(TraceOneCallOfEachKind(
        path, [this](std::vector<uint8_t> bytes) { device_.Answer(std::move(bytes)); }, "linux",
        ETIMEDOUT));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_NO_FATAL_FAILURE(TraceFromTwoThreads(path, [&path] {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const bool refused = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (fd >= 0) close(fd);
        return refused;
    }));
    std::remove(path.c_str());
}

}  // namespace
