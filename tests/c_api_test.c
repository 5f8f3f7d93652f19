/* A plain C caller of the monitoring library (<kxsmon.h>, <kxerrno.h> and the
 * shared object only): one call of every export, on a product root of its own. */
#define _GNU_SOURCE
#include <kxerrno.h>
#include <kxsmon.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

#define CHECK(cond) \
    ((cond) ? (void)0 : (void)(fprintf(stderr, "line %d: failed: %s\n", __LINE__, #cond), ++failures))

int main(void)
{
    char root[] = "/tmp/kxsmon-c-api.XXXXXX", command[4200];
    if (!mkdtemp(root))
        return 2;
    snprintf(command, sizeof command,
             "cd '%s' && mkdir -p etc/opt/ZARNkx var/sadm/pkg/ZARNkxo opt/ZARNkx/lib var/opt/ZARNkx/snmp && "
             "printf 'begin\\nname=kxauthd\\nend\\n' > etc/opt/ZARNkx/kxsservices.cfg && "
             "printf 'VERSION=4.2\\nBASEDIR=/opt\\n' > var/sadm/pkg/ZARNkxo/pkginfo && "
             "printf '#!/bin/ksh\\nprint 111-01\\nprint 222-02\\n' > opt/ZARNkx/lib/kxspatches && "
             "printf '#!/bin/ksh\\nprint \"net1\\t7\"\\n' > opt/ZARNkx/lib/kxsdhcpsum && "
             "chmod 755 opt/ZARNkx/lib/kxspatches opt/ZARNkx/lib/kxsdhcpsum", root);
    if (system(command) != 0)
        return 2;
    CHECK(kxs_setRoot(root) == 0);
    KXSHandle *handle = kxs_init();
    CHECK(handle != NULL);
    if (handle) {
        KXSVersion *version = kxs_version(handle);
        CHECK(version && version->version && strcmp(version->version, "4.2") == 0);
        kxs_freeVersion(handle, version);
        char *patches = kxs_patches(handle);
        CHECK(patches && strcmp(patches, "111-01, 222-02") == 0);
        free(patches);
        KXSDaemon **daemons = kxs_daemons(handle);
        CHECK(daemons && daemons[0] && strcmp(daemons[0]->name, "kxauthd") == 0 && !daemons[1]);
        kxs_freeDaemons(handle, daemons);
        CHECK(kxs_upTime(handle) == 0); /* no session manager answers */
        CHECK(kxs_setContact(handle, "C caller") == 0);
        char *contact = kxs_contact(handle);
        CHECK(contact && strcmp(contact, "C caller") == 0);
        free(contact);
        CHECK(kxs_addDTUMonitored(handle, "IEEE802.080020f8a2b1") == 0);
        CHECK(kxs_deleteDTUMonitored(handle, "ieee802.080020F8A2B1") == 0);
        CHECK(kxs_DTUMonitored(handle, 60, NULL) == NULL); /* an empty table */
        kxs_freeDTUs(handle, NULL);
        KXSDHCPEntry **dhcp = kxs_DHCP(handle);
        CHECK(dhcp && dhcp[0] && strcmp(dhcp[0]->name, "net1") == 0 && dhcp[0]->available == 7 &&
              !dhcp[1]);
        kxs_freeDHCP(handle, dhcp);
        kxs_freeHandle(handle);
    }
    /* The group's queries need the daemons: here only their NULL conventions. */
    CHECK(kxs_interfaces(NULL) == NULL && kxs_FOGroup(NULL) == NULL);
    kxs_freeInterfaces(NULL, NULL), kxs_freeFOGroup(NULL, NULL);
    CHECK(KX_EREPLTIMEOUT == -33 && KX_EUNKNOWN == 2 && KX_SUCCESS == 0);

    snprintf(command, sizeof command, "rm -rf '%s'", root);
    CHECK(system(command) == 0);
    printf("c_api_test: %d failed checks\n", failures);
    return failures ? 1 : 0;
}
