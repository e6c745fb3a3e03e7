#define _GNU_SOURCE
#include "kernel_can.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_link.h"

bool kernel_can_name(int channel, char* name, size_t name_size) {
    char device[NAME_MAX + 1], path[PATH_MAX];
    if (!adapter_sysfs_name(device, sizeof device)) {
        return false;
    }
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s:1.0/net", device, device);
    DIR* dir = opendir(path);
    if (dir == NULL) {
        return false;
    }
    bool found = false;
    const struct dirent* entry;
    while (!found && (entry = readdir(dir)) != NULL) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        /* gs_usb numbers its devices' channels in dev_id. */
        char id_path[PATH_MAX + NAME_MAX + 16], text[16] = "";
        snprintf(id_path, sizeof id_path, "%s/%s/dev_id", path, entry->d_name);
        FILE* file = fopen(id_path, "r");
        if (file == NULL) {
            continue;
        }
        const bool read = fgets(text, sizeof text, file) != NULL;
        fclose(file);
        if (read && strtol(text, NULL, 16) == channel) {
            snprintf(name, name_size, "%s", entry->d_name);
            found = true;
        }
    }
    closedir(dir);
    return found;
}

/* Appends an attribute to the message in `buffer` and returns it (for nesting). */
static struct rtattr* add_attribute(struct nlmsghdr* message, size_t capacity, unsigned short type,
                                    const void* data, size_t length) {
    const size_t size = RTA_LENGTH(length);
    if (NLMSG_ALIGN(message->nlmsg_len) + RTA_ALIGN(size) > capacity) {
        return NULL;
    }
    struct rtattr* attribute = (struct rtattr*)((char*)message + NLMSG_ALIGN(message->nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = (unsigned short)size;
    if (length > 0) {
        memcpy(RTA_DATA(attribute), data, length);
    }
    message->nlmsg_len = (uint32_t)(NLMSG_ALIGN(message->nlmsg_len) + RTA_ALIGN(size));
    return attribute;
}

static void end_nest(struct nlmsghdr* message, struct rtattr* nest) {
    nest->rta_len = (unsigned short)((char*)message + message->nlmsg_len - (char*)nest);
}

bool kernel_can_configure(const char* name, uint32_t bitrate, bool up, int* error) {
    *error = 0;
    const unsigned index = if_nametoindex(name);
    if (index == 0) {
        *error = errno;
        return false;
    }
    union {
        struct nlmsghdr header;
        char bytes[512];
    } request;
    memset(&request, 0, sizeof request);
    struct nlmsghdr* message = &request.header;
    message->nlmsg_len = NLMSG_LENGTH(sizeof(struct ifinfomsg));
    message->nlmsg_type = RTM_NEWLINK;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    message->nlmsg_seq = 1;
    struct ifinfomsg* info = NLMSG_DATA(message);
    info->ifi_family = AF_UNSPEC;
    info->ifi_index = (int)index;
    info->ifi_change = IFF_UP;
    info->ifi_flags = up ? IFF_UP : 0;
    if (bitrate != 0) {
        struct can_bittiming timing;
        memset(&timing, 0, sizeof timing);
        timing.bitrate = bitrate; /* the kernel works out the segments */
        struct rtattr* link_info = add_attribute(message, sizeof request, IFLA_LINKINFO, NULL, 0);
        add_attribute(message, sizeof request, IFLA_INFO_KIND, "can", 4);
        struct rtattr* data = add_attribute(message, sizeof request, IFLA_INFO_DATA, NULL, 0);
        add_attribute(message, sizeof request, IFLA_CAN_BITTIMING, &timing, sizeof timing);
        end_nest(message, data);
        end_nest(message, link_info);
    }
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    struct sockaddr_nl kernel = {.nl_family = AF_NETLINK};
    bool ok = false;
    if (sendto(fd, message, message->nlmsg_len, 0, (struct sockaddr*)&kernel, sizeof kernel) < 0) {
        *error = errno;
    } else {
        union {
            struct nlmsghdr header;
            char bytes[1024];
        } answer;
        const ssize_t got = recv(fd, &answer, sizeof answer, 0);
        if (got < 0) {
            *error = errno;
        } else if ((size_t)got >= NLMSG_LENGTH(sizeof(struct nlmsgerr)) &&
                   answer.header.nlmsg_type == NLMSG_ERROR) {
            const struct nlmsgerr* result = NLMSG_DATA(&answer.header);
            *error = -result->error;
            ok = result->error == 0;
        } else {
            *error = EPROTO;
        }
    }
    close(fd);
    return ok;
}
