#ifndef OVEL_QEMU_KERNEL_CAN_H
#define OVEL_QEMU_KERNEL_CAN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/*
 * The first adapter as the guest kernel's own gs_usb driver shows it: a SocketCAN network
 * device per channel, configured over rtnetlink as "ip link set NAME type can bitrate N up"
 * would (busybox's ip knows no CAN).
 */

/* The network device of the first adapter's `channel` ("can0"); false while gs_usb has none. */
bool kernel_can_name(int channel, char* name, size_t name_size);

/* Sets the nominal bitrate (unless 0; the device must be down) and brings the device up or
   down. False with the kernel's errno in *error when the kernel refused. */
bool kernel_can_configure(const char* name, uint32_t bitrate, bool up, int* error);

#endif
