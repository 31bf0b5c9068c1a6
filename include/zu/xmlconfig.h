// zu::app::IXMLConfig: settings kept in an XML tree. A view works on one
// element below a root element: its attributes are the settings, read and
// written by name as text (names compared without regard to case), and its
// text is one more setting.
#ifndef ZU_XMLCONFIG_H
#define ZU_XMLCONFIG_H

#include <boost/shared_ptr.hpp>
#include <zu/array.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>
#include <zu/xml.h>

namespace zu {
namespace app {

// A view of the element at a "/"-separated path below a root element (the
// root itself for the empty path). Every step follows the first child
// element of that name, compared without regard to case. While the path
// does not exist, reads give their defaults and the first set() or
// setText() creates the missing elements; from then on the view stays on
// that element. The view reads and writes the shared tree itself: the
// owner of the document saves the changes. Nothing is locked: a view and
// its tree are used by one thread at a time.
class ZU_API IXMLConfig : public IBase {
 public:
  // The attribute's value, or `defaultValue` when the element or the
  // attribute does not exist.
  virtual String get(String const& name, String const& defaultValue) = 0;
  // Removes the attribute (under any spelling of the name) and appends it
  // with this spelling and value at the end of the attribute list.
  virtual void set(String const& name, String const& value) = 0;
  virtual bool has(String const& name) = 0;
  // Removes every attribute of that name; nothing without the element.
  virtual void remove(String const& name) = 0;
  // The element's own text (its text children joined); empty without it.
  virtual String text() = 0;
  // Replaces all of the element's children, elements included, by one
  // text node.
  virtual void setText(String const& text) = 0;

  // A null root aborts through the assertion "root".
  static boost::shared_ptr<IXMLConfig> New(boost::shared_ptr<xml::IElement> root, String const& path);
  // One view for each element that root->find(path, true) gives, in that
  // order, each working on that element itself. A null root aborts through
  // the assertion "root".
  static TArray<boost::shared_ptr<IXMLConfig>> Enum(boost::shared_ptr<xml::IElement> root, String const& path);
};

}  // namespace app
}  // namespace zu

#endif
