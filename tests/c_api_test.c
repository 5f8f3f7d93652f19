/*
 * A plain C caller of the monitoring library: only <kxsmon.h> and the shared
 * object. Lays out a product root of its own and runs the queries.
 */
#define _GNU_SOURCE
#include <kxsmon.h>
#include <kxerrno.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

static void make_dirs(const char *root, const char *rel)
{
    char path[4096];
    snprintf(path, sizeof path, "%s%s", root, rel);
    for (char *p = path + strlen(root) + 1; *p; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(path, 0755);
            *p = '/';
        }
    }
    mkdir(path, 0755);
}

static void write_file(const char *root, const char *rel, const char *text, mode_t mode)
{
    char path[4096];
    snprintf(path, sizeof path, "%s%s", root, rel);
    FILE *f = fopen(path, "w");
    if (!f) {
        perror(path);
        exit(2);
    }
    fputs(text, f);
    fclose(f);
    chmod(path, mode);
}

static void remove_tree(const char *root)
{
    char command[4200];
    snprintf(command, sizeof command, "rm -rf '%s'", root);
    if (system(command) != 0)
        fprintf(stderr, "could not remove %s\n", root);
}

int main(void)
{
    char root[] = "/tmp/kxsmon-c-api.XXXXXX";
    if (!mkdtemp(root))
        return 2;
    make_dirs(root, "/etc/opt/ZARNkx");
    make_dirs(root, "/var/sadm/pkg/ZARNkxo");
    make_dirs(root, "/opt/ZARNkx/lib");
    make_dirs(root, "/var/opt/ZARNkx/snmp");
    write_file(root, "/etc/opt/ZARNkx/kxsservices.cfg", "begin\nname=kxauthd\nend\n", 0644);
    write_file(root, "/var/sadm/pkg/ZARNkxo/pkginfo",
               "PKG=ZARNkxo\nVERSION=4.2\nBASEDIR=/opt\nINSTDATE=Nov 21 2026 14:31\n", 0644);
    write_file(root, "/opt/ZARNkx/lib/kxspatches", "#!/bin/ksh\nprint 111-01\nprint 222-02\n", 0755);

    CHECK(kxs_setRoot("not/absolute") == -1);
    CHECK(kxs_setRoot(root) == 0);

    KXSHandle *handle = kxs_init();
    CHECK(handle != NULL);
    if (!handle) {
        remove_tree(root);
        return 1;
    }

    KXSVersion *version = kxs_version(handle);
    CHECK(version != NULL);
    if (version) {
        CHECK(version->version && strcmp(version->version, "4.2") == 0);
        CHECK(version->installDate && strcmp(version->installDate, "Nov 21 2026 14:31") == 0);
    }
    kxs_freeVersion(handle, version);
    kxs_freeVersion(handle, NULL);

    char *patches = kxs_patches(handle);
    CHECK(patches && strcmp(patches, "111-01, 222-02") == 0);
    free(patches);

    char *contact = kxs_contact(handle);
    CHECK(contact && strcmp(contact, "System Admin") == 0);
    free(contact);
    CHECK(kxs_setContact(handle, "C caller") == 0);

    CHECK(kxs_addDTUMonitored(handle, "IEEE802.080020f8a2b1") == 0);
    CHECK(kxs_addDTUMonitored(handle, "ieee802.080020F8A2B1") == 0);
    CHECK(kxs_addDTUMonitored(handle, "pseudo.1") == 0);
    CHECK(kxs_deleteDTUMonitored(handle, "PSEUDO.1") == 0);
    kxs_freeHandle(handle);
    kxs_freeHandle(NULL);

    /* A second handle reads back what the first stored. */
    handle = kxs_init();
    CHECK(handle != NULL);
    contact = kxs_contact(handle);
    CHECK(contact && strcmp(contact, "C caller") == 0);
    free(contact);
    kxs_freeHandle(handle);

    char path[4200], line[64] = "";
    snprintf(path, sizeof path, "%s/var/opt/ZARNkx/snmp/kxsmonitoreddtus.data", root);
    FILE *f = fopen(path, "r");
    CHECK(f != NULL);
    if (f) {
        CHECK(fgets(line, sizeof line, f) != NULL);
        CHECK(strcmp(line, "IEEE802.080020f8a2b1\n") == 0);
        CHECK(fgets(line, sizeof line, f) == NULL);
        fclose(f);
    }
    CHECK(KX_EREPLTIMEOUT == -33 && KX_EUNKNOWN == 2);

    remove_tree(root);
    printf("c_api_test: %d failed checks\n", failures);
    return failures ? 1 : 0;
}
