/* Resource identifiers shared by quillomarvet.rc and the application code. */
#ifndef QUILLOMARVET_RESOURCE_H
#define QUILLOMARVET_RESOURCE_H

/* Application icon group (LoadIcon(hInstance, MAKEINTRESOURCE(IDI_APP))). */
#define IDI_APP 1

#endif /* QUILLOMARVET_RESOURCE_H */
