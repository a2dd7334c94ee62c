/*
 * Module load and unload, the boot registry and the reboot notifier.
 *
 * A registry record, as zelmird writes it:
 *   /dev/sdb? volume_id_{GUID} /dev/sdc? volume_id_{GUID} line_end\n
 * Paths are at most 31 characters and GUID texts at most 127; longer ones
 * refuse the record rather than overrun its buffers.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/init.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/fs.h>
#include <linux/uaccess.h>
#include <linux/reboot.h>
#include <linux/notifier.h>
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/err.h>

#include "hm.h"
#include "hm_log.h"
#include "hm_bitmap.h"
#include "hm_thread.h"
#include "hmk_nl.h"

#define REG_RECORD_LEN	256
#define REG_NAME_LEN	32
#define REG_END		"line_end"
#define REG_VOLUME	"volume_id_{"
#define REG_SIGNATURE_OFF	440	/* the MBR disk signature */

static const char *hm_registry_files[] = { "/etc/hmdevs.reg", "/boot/hmdevs.reg" };

static int hm_digit(char c, unsigned int base)
{
	int v;

	if (c >= '0' && c <= '9')
		v = c - '0';
	else if (c >= 'a' && c <= 'f')
		v = c - 'a' + 10;
	else if (c >= 'A' && c <= 'F')
		v = c - 'A' + 10;
	else
		return -1;
	return v < (int)base ? v : -1;
}

static int hm_is_hex(char c)
{
	return hm_digit(c, 16) >= 0;
}

unsigned long hm_strtoul(const char *cp, char **endp, unsigned int base)
{
	unsigned long result = 0;
	int v;

	if (!base) {
		base = 10;
		if (cp[0] == '0') {
			base = 8;
			if ((cp[1] == 'x' || cp[1] == 'X') && hm_is_hex(cp[2])) {
				base = 16;
				cp += 2;
			}
		}
	} else if (base == 16 && cp[0] == '0' && (cp[1] == 'x' || cp[1] == 'X')) {
		cp += 2;
	}
	while ((v = hm_digit(*cp, base)) >= 0) {
		result = result * base + v;
		cp++;
	}
	if (endp)
		*endp = (char *)cp;
	return result;
}

long hm_strtol(const char *cp, char **endp, unsigned int base)
{
	if (*cp == '-')
		return -(long)hm_strtoul(cp + 1, endp, base);
	return (long)hm_strtoul(cp, endp, base);
}

/* Reads two hex digits at @p without running past a NUL. */
static uint8_t hm_hex_byte(const char *p)
{
	char two[3] = { 0, 0, 0 };

	two[0] = p[0];
	if (p[0])
		two[1] = p[1];
	return (uint8_t)hm_strtoul(two, NULL, 16);
}

int uuid_to_guid(const char *uuid, guid_t *guid)
{
	static const int d4[8] = { 19, 21, 24, 26, 28, 30, 32, 34 };
	size_t len = strnlen(uuid, HM_NAME_LEN);
	int i;

	memset(guid, 0, sizeof(*guid));
	guid->data1 = (uint32_t)hm_strtoul(uuid, NULL, 16);
	if (len > 9)
		guid->data2 = (uint16_t)hm_strtoul(uuid + 9, NULL, 16);
	if (len > 14)
		guid->data3 = (uint16_t)hm_strtoul(uuid + 14, NULL, 16);
	for (i = 0; i < 8; i++)
		if (len > (size_t)d4[i])
			guid->data4[i] = hm_hex_byte(uuid + d4[i]);
	return 0;
}

/*
 * Parses "PATH volume_id_{GUID}" at the start of @info.  Returns the index of
 * the "}" (or the end), or -1.
 */
int parse_volume(const char *info, int size, char *name, char *uuid)
{
	int i = 0, n = 0, copying = 0;
	int vlen = strlen(REG_VOLUME);

	if (size <= 0 || info[0] == ' ' || info[0] == '\0')
		return -1;
	while (i < size && info[i] && info[i] != ' ') {
		if (n >= REG_NAME_LEN - 1)
			return -1;
		name[n++] = info[i++];
	}
	name[n] = '\0';
	if (i >= size || info[i] != ' ')
		return -1;

	memset(uuid, 0, HM_NAME_LEN);
	n = 0;
	while (i < size && info[i] && info[i] != '}') {
		if (!copying && i + vlen <= size && strncmp(info + i, REG_VOLUME, vlen) == 0) {
			i += vlen;
			copying = 1;
			continue;
		}
		if (copying) {
			if (n >= HM_NAME_LEN - 1)
				return -1;
			uuid[n++] = info[i];
		}
		i++;
	}
	return i;
}

int parse_info(const char *info, int size, char *dev_name, char *uuid, char *dev_name2,
	       char *uuid2)
{
	int end, i;

	end = parse_volume(info, size, dev_name, uuid);
	if (end < 0 || end >= size || info[end] != '}')
		return -1;
	for (i = end + 1; i < size && info[i]; i++) {
		if (info[i] == '/') {
			if (parse_volume(info + i, size - i, dev_name2, uuid2) < 0) {
				/* A mirror that does not parse is left out whole. */
				dev_name2[0] = '\0';
				uuid2[0] = '\0';
			}
			break;
		}
	}
	return 0;
}

/* Delivers the next record, read at the file's position, or NULL. */
char *get_next_device_info(struct file *filp, char *buf, int size)
{
	mm_segment_t old_fs;
	loff_t start = filp->f_pos;
	ssize_t got;
	int i, mlen = strlen(REG_END);

	memset(buf, 0, size);
	old_fs = get_fs();
	set_fs(KERNEL_DS);
	got = vfs_read(filp, buf, size - 1, &filp->f_pos);
	set_fs(old_fs);
	if (got <= 0)
		return NULL;	/* end of file, or a read error: stop */
	for (i = 0; i + mlen <= got; i++)
		if (memcmp(buf + i, REG_END, mlen) == 0)
			break;
	if (i + mlen > got)
		return NULL;
	buf[i] = '\0';
	filp->f_pos = start + i + mlen + 1;
	memset(buf + i, 0, size - i);
	return buf;
}

/* Marks a registry path closed: a member under it is never opened. */
static void reg_name_close(char *name)
{
	size_t n = strlen(name);

	if (n > 0 && name[n - 1] == '?')
		return;
	if (n + 1 >= REG_NAME_LEN)
		n = REG_NAME_LEN - 2;
	name[n] = '?';
	name[n + 1] = '\0';
}

/* Whether the disk at path holds signature at byte 440 (loader's context). */
static int reg_disk_signed(const char *path, u32 signature)
{
	struct file *filp;
	mm_segment_t old_fs;
	loff_t pos = REG_SIGNATURE_OFF;
	u32 found = 0;
	ssize_t got;

	if (!signature)
		return 0;
	filp = filp_open(path, O_RDONLY, 0);
	if (IS_ERR(filp) || !filp)
		return 0;
	old_fs = get_fs();
	set_fs(KERNEL_DS);
	got = vfs_read(filp, (char *)&found, sizeof(found), &pos);
	set_fs(old_fs);
	filp_close(filp, NULL);
	return got == (ssize_t)sizeof(found) && found == signature;
}

/*
 * A path without the closing "?" (a line nobody keeps up to date, as
 * "/etc/hmdevs.reg" may be) can name another disk by now: it is taken only
 * when the disk there is the volume's.  The primary is known by its
 * signature; a mirror's LUN GUID the module cannot ask for, so a mirror
 * stays closed until an Add Protection names the disk found by its GUID.
 */
static void reg_names_by_identity(char *name, u32 signature, char *name2)
{
	size_t n = strlen(name);

	if (n > 0 && name[n - 1] != '?' && !reg_disk_signed(name, signature)) {
		printk("<3>%s %s does not hold signature %x: left closed\n", __func__, name, signature);
		reg_name_close(name);
	}
	n = strlen(name2);
	if (n > 0 && name2[n - 1] != '?') {
		printk("<3>%s mirror %s cannot be known by its path: left closed\n", __func__, name2);
		reg_name_close(name2);
	}
}

static void hmdevs_add_record(const char *info, char *name, char *uuid, char *name2,
			      char *uuid2)
{
	hm_nl_volume_t vol, vol2;
	hmdev_t *hmdev;
	hm_rdev_t *rdev, *primary;
	int is_existed = 0;

	printk("<1>%s uuid: %s uuid2: %s\n", __func__, uuid, uuid2);
	printk("<1>%s info: %s name: %s name2: %s\n", __func__, info, name, name2);

	memset(&vol, 0, sizeof(vol));
	memcpy(vol.uuid, uuid, HM_NAME_LEN);
	uuid_to_guid(uuid, &vol.vid.san_volume_id.vol_guid);
	printk("<1>%s uuid: %s signature: %x\n", __func__, uuid, vol.vid.mbp_volumeid.signature);
	reg_names_by_identity(name, vol.vid.mbp_volumeid.signature, name2);

	hmdev = create_hmdev(name, &vol, &is_existed);
	if (IS_ERR(hmdev)) {
		printk("<1>%s create hmdev: %ld\n", __func__, PTR_ERR(hmdev));
		return;
	}
	/* The netlink socket is open already: a request may act on it too. */
	hmdev_lock(hmdev);
	rdev = rdev_find(hmdev, name, &vol);
	if (rdev)
		hmdev_add_primary(hmdev, rdev);
	if (name2[0]) {
		memset(&vol2, 0, sizeof(vol2));
		memcpy(vol2.uuid, uuid2, HM_NAME_LEN);
		rdev = rdev_find(hmdev, name2, &vol2);
		if (rdev)
			hmdev_add_mirror(hmdev, rdev);
	}
	primary = hm_primary(hmdev);
	if (!primary || test_bit(Faulty, &primary->flags)) {
		printk("<6>%s primary disk is not ready, can not install bitmap\n", __func__);
	} else {
		int err = hmdev_bitmap_init(hmdev);

		if (err < 0)
			printk("<1>%s bitmap init: %d\n", __func__, err);
		printk("<6>%s finished bitmap init\n", __func__);
	}
	hmdev_run(hmdev);
	hmdev_unlock(hmdev);
	hmdev_put(hmdev);
}

void hmdevs_protection_init(void)
{
	char *info, name[REG_NAME_LEN], name2[REG_NAME_LEN];
	char uuid[HM_NAME_LEN], uuid2[HM_NAME_LEN];
	struct file *filp = NULL;
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(hm_registry_files); i++) {
		filp = filp_open(hm_registry_files[i], O_RDONLY, 0);
		if (!IS_ERR(filp) && filp)
			break;
		filp = NULL;
	}
	if (!filp) {
		printk("<1>%s open hmdevs.reg failed\n", __func__);
		return;
	}
	info = (char *)kmalloc(REG_RECORD_LEN + 1, GFP_KERNEL);
	if (!info) {
		filp_close(filp, NULL);
		return;
	}
	while (get_next_device_info(filp, info, REG_RECORD_LEN + 1)) {
		memset(name, 0, sizeof(name));
		memset(name2, 0, sizeof(name2));
		memset(uuid2, 0, sizeof(uuid2));
		if (parse_info(info, strnlen(info, REG_RECORD_LEN), name, uuid, name2, uuid2) < 0) {
			printk("<1>%s wrong format reg: %s\n", __func__, info);
			continue;
		}
		hmdevs_add_record(info, name, uuid, name2, uuid2);
	}
	kfree(info);
	filp_close(filp, NULL);
}

void hmdevs_sync_stop(void)
{
	hmdev_t *hmdev;
	unsigned long flags;

	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(hmdev, &all_hmdevs, all_hmdevs)
		set_bit(HM_SYNC_INTR, &hmdev->flags);
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
}

static int hm_notify_reboot(struct notifier_block *nb, unsigned long event, void *data)
{
	(void)nb;
	(void)data;
	if (event == SYS_RESTART || event == SYS_HALT || event == SYS_POWER_OFF)
		hmdevs_sync_stop();
	return 0;
}

static struct notifier_block hm_notifier = {
	hm_notify_reboot,
	NULL,
	0x7FFFFFFF,
};

static int __init hm_init(void)
{
	log_init(HM_DEBUG);
	/* The list is ready before the socket can deliver a request. */
	INIT_LIST_HEAD(&all_hmdevs);
	spin_lock_init(&all_hmdevs_lock);
	hm_nl_init();
	printk("<6>zelmir magic:%d maxcmd:%d\n", (int)HM_NL_MAGIC, HM_NL_CMD_MAX);
	hmdevs_protection_init();
	register_reboot_notifier(&hm_notifier);
	printk("<1>zelmir module loaded\n");
	return 0;
}

static void __exit hm_exit(void)
{
	struct list_head *node;

	hm_nl_exit();
	while ((node = del_queue_head(&all_hmdevs, &all_hmdevs_lock)) != NULL) {
		hmdev_t *hmdev = list_entry(node, hmdev_t, all_hmdevs);

		recovery_queue_make_request(hm_primary(hmdev), hm_make_request);
		recovery_queue_make_request(hm_mirror(hmdev), mirror_make_request);
		/* Requests in flight finish before anything of theirs goes. */
		set_bit(HM_SYNC_INTR, &hmdev->flags);
		hmdev_wait_idle(hmdev, "unload");
		/*
		 * A submitter drops its reference only after its request is
		 * queued, which may be after the request ended: wait until the
		 * list's reference, which this took over, is the only one.
		 */
		while (atomic_read(&hmdev->active) > 1)
			schedule_timeout_uninterruptible(1);
		hmdev_destroy(hmdev);
	}
	unregister_reboot_notifier(&hm_notifier);
}

module_init(hm_init);
module_exit(hm_exit);
MODULE_LICENSE("GPL");
