// How the printer looks in the web interface and to clients: its icons
// and the names PAPPL shows for its options.
#pragma once

#include <pappl/pappl.h>

// The printer's small, medium and large icons for a printer being made.
void SetIcons(pappl_pr_driver_data_t& data);

// The site icon and the navigation bar's icon, registered before PAPPL
// registers its own (the first registration of a path stays).
void AddWebIcons(pappl_system_t* system);

// The application's English names for what PAPPL shows: the paper types
// by the PPD's names, the densities, the colour modes. Loaded before
// PAPPL's own strings, which only add the keys still missing.
void AddStrings(pappl_system_t* system);
