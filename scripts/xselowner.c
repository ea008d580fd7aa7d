/* Exits 0 when every named X selection has an owner, 1 when one has none,
 * 2 when the display cannot be reached. The X tools in Debian can only read
 * properties, and a compositor or tray host announces itself by owning a
 * selection, not by setting one. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/xcb.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s SELECTION...\n", argv[0]);
        return 2;
    }
    xcb_connection_t* c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "%s: cannot open display\n", argv[0]);
        return 2;
    }
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 1, (uint16_t)strlen(argv[i]), argv[i]), NULL);
        xcb_window_t owner = XCB_NONE;
        if (atom && atom->atom != XCB_NONE) {
            xcb_get_selection_owner_reply_t* r =
                xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), NULL);
            if (r)
                owner = r->owner;
            free(r);
        }
        free(atom);
        if (owner == XCB_NONE)
            rc = 1;
        else
            printf("%s 0x%x\n", argv[i], owner);
    }
    xcb_disconnect(c);
    return rc;
}
