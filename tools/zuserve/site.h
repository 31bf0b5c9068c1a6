// The files built into the program: the default configuration and the demo
// site, generated from the site/ folder next to this header.
#ifndef ZUSERVE_SITE_H
#define ZUSERVE_SITE_H

namespace zuserve {

struct EmbeddedFile {
  char const* name;  // relative to site/, "/"-separated
  unsigned char const* data;
  unsigned int size;
};

// Ends with an entry whose name is null.
extern EmbeddedFile const siteFiles[];

}  // namespace zuserve

#endif
