// The udev monitor thread: block-disk events wake the client scan and
// re-probe the devices.
#ifndef ZELMIR_AGENT_QORCD_QOR_UDEV_H
#define ZELMIR_AGENT_QORCD_QOR_UDEV_H

// Never returns; ends the working process with status 1 when udev cannot be
// reached.
void* _udev_monitor_thread(void* arg);

#endif  // ZELMIR_AGENT_QORCD_QOR_UDEV_H
