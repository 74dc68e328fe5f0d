// The hand-written behaviour of categories: the display name and the category tree.
#include <algorithm>

#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/support/LdStrings.h"

namespace {

void collectDescendants(const LdCDCategory& category, std::vector<LdCDCategory*>& found) {
    for (LdCDCategory* child : category.sub_categories()) {
        // A broken tree with a cycle must not loop forever.
        if (std::find(found.begin(), found.end(), child) != found.end()) {
            continue;
        }
        found.push_back(child);
        collectDescendants(*child, found);
    }
}

}  // namespace

std::string LdCDCategory::nameOrPlaceholder() const {
    std::string text = name();
    return text.empty() ? LdStrings::localizedString("_CATEGORY_WITHOUT_TITLE") : text;
}

std::optional<std::vector<LdCDCategory*>> LdCDCategory::allSubCategories() const {
    if (sub_categories().empty()) {
        return std::nullopt;
    }
    std::vector<LdCDCategory*> found;
    collectDescendants(*this, found);
    return found;
}

bool LdCDCategory::hasSupercategory(const LdCDCategory* category) const {
    if (category == nullptr) {
        return false;
    }
    std::vector<const LdCDCategory*> seen;
    for (const LdCDCategory* ancestor = super_category(); ancestor != nullptr;
         ancestor = ancestor->super_category()) {
        if (ancestor == category) {
            return true;
        }
        if (std::find(seen.begin(), seen.end(), ancestor) != seen.end()) {
            return false;  // a cycle
        }
        seen.push_back(ancestor);
    }
    return false;
}

void LdCDCategory::didRefresh() {
    cachedColor_.reset();
    cachedImage_.reset();
}
