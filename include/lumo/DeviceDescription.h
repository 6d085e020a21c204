/* LumoDeviceDescription: what an open camera's USB device told the library
 * when it was opened: its device descriptor, the strings it names, the
 * current configuration and interface setting with their endpoints, the
 * BOS capabilities and the kernel driver's own values and texts.
 *
 * Filled by LumoUsbManager::DescribeDevice. A plain C record of fixed-size
 * fields only, so its layout is the same for 32- and 64-bit programs and
 * for C and C++ callers. Texts are NUL-terminated; the device's strings are
 * converted from UTF-16 to UTF-8.
 */
#ifndef LUMO_DEVICE_DESCRIPTION_H
#define LUMO_DEVICE_DESCRIPTION_H

#include <stddef.h>
#include <stdint.h>

#define LUMO_DESCRIPTION_TEXT_SIZE 256
#define LUMO_DESCRIPTION_MAX_ENDPOINTS 32

/* Bus speed as the descriptors show it: the endpoint sizes a device reports
 * are those of the speed it runs at. */
enum {
  LUMO_SPEED_UNKNOWN = 0,
  LUMO_SPEED_LOW = 1,  /* 1.5 Mbit/s */
  LUMO_SPEED_FULL = 2, /* 12 Mbit/s */
  LUMO_SPEED_HIGH = 3, /* 480 Mbit/s */
  LUMO_SPEED_SUPER = 4 /* 5 Gbit/s or more */
};

/* Bits of LumoDeviceDescription.bosCapabilities. */
enum { LUMO_BOS_USB2_EXTENSION = 1, LUMO_BOS_SUPERSPEED = 2, LUMO_BOS_CONTAINER_ID = 4 };

typedef struct LumoEndpointDescription {
  uint8_t address;           /* bEndpointAddress; bit 7 set for IN */
  uint8_t attributes;        /* bmAttributes; bits 0-1: 1 isochronous, 2 bulk, 3 interrupt */
  uint16_t maxPacketSize;    /* wMaxPacketSize */
  uint8_t interval;          /* bInterval */
  uint8_t maxBurst;          /* SuperSpeed companion bMaxBurst; 0 without a companion */
  uint16_t bytesPerInterval; /* SuperSpeed companion wBytesPerInterval */
} LumoEndpointDescription;

typedef struct LumoDeviceDescription {
  /* Device descriptor. */
  uint16_t vendorId;
  uint16_t productId;
  uint16_t bcdUSB;
  uint16_t bcdDevice;
  uint8_t deviceClass;
  uint8_t deviceSubClass;
  uint8_t deviceProtocol;
  uint8_t speed; /* LUMO_SPEED_* */
  uint32_t ep0PacketSize;
  /* The current configuration and interface setting. */
  uint8_t configurationCount;
  uint8_t configurationValue;
  uint8_t configurationAttributes;
  uint8_t maxPower; /* MaxPower: 2 mA units (8 mA at SuperSpeed) */
  uint8_t interfaceNumber;
  uint8_t alternateSetting;
  uint8_t interfaceClass;
  uint8_t interfaceSubClass;
  uint8_t interfaceProtocol;
  uint8_t endpointCount;   /* entries used in endpoints */
  uint8_t bosCapabilities; /* LUMO_BOS_* bits */
  uint8_t driverByte;
  /* The kernel driver's information values. */
  uint32_t driverValueA;
  uint32_t driverValueB;
  uint32_t deviceState; /* the driver's device state: 2 or 4, 0 for any other */
  /* BOS capabilities, valid where bosCapabilities has their bit. */
  uint32_t usb2ExtensionAttributes;
  uint16_t superSpeedSpeeds; /* wSpeedsSupported */
  uint8_t superSpeedAttributes;
  uint8_t superSpeedFunctionality; /* bFunctionalitySupport */
  uint8_t containerId[16];
  char devicePath[LUMO_DESCRIPTION_TEXT_SIZE];
  char manufacturer[LUMO_DESCRIPTION_TEXT_SIZE];
  char product[LUMO_DESCRIPTION_TEXT_SIZE];
  char serialNumber[LUMO_DESCRIPTION_TEXT_SIZE];
  char driverTextA[LUMO_DESCRIPTION_TEXT_SIZE];
  char driverTextB[LUMO_DESCRIPTION_TEXT_SIZE];
  /* The endpoints of the current interface setting, endpoint zero excluded. */
  LumoEndpointDescription endpoints[LUMO_DESCRIPTION_MAX_ENDPOINTS];
} LumoDeviceDescription;

#ifdef __cplusplus
static_assert(sizeof(LumoEndpointDescription) == 8, "LumoEndpointDescription layout");
static_assert(offsetof(LumoDeviceDescription, speed) == 11, "LumoDeviceDescription layout");
static_assert(offsetof(LumoDeviceDescription, configurationCount) == 16,
              "LumoDeviceDescription layout");
static_assert(offsetof(LumoDeviceDescription, driverValueA) == 28, "LumoDeviceDescription layout");
static_assert(offsetof(LumoDeviceDescription, usb2ExtensionAttributes) == 40,
              "LumoDeviceDescription layout");
static_assert(offsetof(LumoDeviceDescription, containerId) == 48, "LumoDeviceDescription layout");
static_assert(offsetof(LumoDeviceDescription, devicePath) == 64, "LumoDeviceDescription layout");
static_assert(offsetof(LumoDeviceDescription, endpoints) == 64 + 6 * LUMO_DESCRIPTION_TEXT_SIZE,
              "LumoDeviceDescription layout");
static_assert(sizeof(LumoDeviceDescription) ==
                  64 + 6 * LUMO_DESCRIPTION_TEXT_SIZE + 8 * LUMO_DESCRIPTION_MAX_ENDPOINTS,
              "LumoDeviceDescription layout");
#endif

#endif /* LUMO_DEVICE_DESCRIPTION_H */
