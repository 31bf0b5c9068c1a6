// Configuration read from an XML document: one element's attributes and
// children as named settings, found by a path below a root element.
#include <zu/app.h>

#include <utility>

#include <boost/make_shared.hpp>

#include "core/assertion.h"

namespace zu {
namespace app {
namespace impl {

class XMLConfig final : public IXMLConfig {
 public:
  XMLConfig(boost::shared_ptr<xml::IElement> root, boost::shared_ptr<xml::IElement> section, String const& path)
      : root_(std::move(root)), section_(std::move(section)), path_(path) {}

  String get(String const& name, String const& defaultValue) override {
    return section_ ? section_->attribute(name, defaultValue, true) : defaultValue;
  }

  void set(String const& name, String const& value) override { sub()->setAttribute(name, value, true); }

  bool has(String const& name) override {
    if (!section_) return false;
    for (StringPair const& pair : section_->attributes())
      if (pair.name.compare(name, true) == 0) return true;
    return false;
  }

  void remove(String const& name) override {
    if (section_) section_->removeAttribute(name, true);
  }

  String text() override { return section_ ? section_->text() : String(); }

  void setText(String const& text) override { sub()->setText(text); }

 private:
  // The section, made first when the path does not exist yet: each piece
  // of the path follows the first child element of that name or, when
  // there is none, a new one.
  boost::shared_ptr<xml::IElement> const& sub() {
    if (!section_) {
      boost::shared_ptr<xml::IElement> at = root_;
      for (String const& piece : path_.tokenise('/')) {
        TArray<boost::shared_ptr<xml::IElement>> const found = at->find(piece, true);
        at = found.empty() ? at->addElement(piece) : found[0];
      }
      section_ = at;
    }
    ZU_ASSERT(section_, "_sub");
    return section_;
  }

  boost::shared_ptr<xml::IElement> root_;
  boost::shared_ptr<xml::IElement> section_;
  String path_;
};

}  // namespace impl

boost::shared_ptr<IXMLConfig> IXMLConfig::New(boost::shared_ptr<xml::IElement> root, String const& path) {
  ZU_ASSERT(root, "root");
  boost::shared_ptr<xml::IElement> section;
  if (path.empty()) {
    section = root;
  } else {
    TArray<boost::shared_ptr<xml::IElement>> const found = root->find(path, true);
    if (!found.empty()) section = found[0];
  }
  return boost::make_shared<impl::XMLConfig>(std::move(root), std::move(section), path);
}

TArray<boost::shared_ptr<IXMLConfig>> IXMLConfig::Enum(boost::shared_ptr<xml::IElement> root, String const& path) {
  ZU_ASSERT(root, "root");
  TArray<boost::shared_ptr<IXMLConfig>> views;
  for (boost::shared_ptr<xml::IElement> const& element : root->find(path, true))
    views.append(boost::make_shared<impl::XMLConfig>(element, element, String()));
  return views;
}

}  // namespace app
}  // namespace zu
