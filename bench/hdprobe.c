/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A bare libhd probe of the PCI bus, nothing else: the floor that
 * commandbench.py compares the tool's listing commands with. */
#include <hd.h>
#include <stdlib.h>

int main(void)
{
    hd_data_t *data = calloc(1, sizeof *data);
    if (!data) {
        return 1;
    }
    hd_free_hd_list(hd_list(data, hw_pci, 1, NULL));
    hd_free_hd_data(data);
    free(data);
    return 0;
}
