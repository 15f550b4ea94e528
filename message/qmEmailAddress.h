// E-mail addresses: one mailbox with its display name, and lists of them.
// Parsing is forgiving: a quoted name before an address in angle brackets,
// a bare address, or an address followed by a comment in parentheses.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/qmComponent.h"
#include "core/qmStrings.h"

namespace qm {

class TqmEmailAddressList;

/// One mailbox with its display name: "Jane Doe <jane@example.org>". Texts
/// are UTF-8; non-ASCII names are encoded when the message is written.
class TqmEmailAddressItem : public TPersistent {
 public:
  /// An empty address outside any list.
  TqmEmailAddressItem() = default;
  /// An empty address of ACollection (which it tells about changes).
  explicit TqmEmailAddressItem(TqmEmailAddressList* ACollection) : FCollection(ACollection) {}

  /// The display name, without quotes or escapes.
  ///@{
  const std::string& Name() const { return FName; }
  void SetName(const std::string& AValue);
  ///@}
  /// The mailbox, as found in the text.
  ///@{
  const std::string& Email() const { return FEmail; }
  void SetEmail(const std::string& AValue);
  ///@}
  /// Display form built from Name and Email; writing it parses the text
  /// ("Name <a@b>", "a@b", "a@b (Name)", "\"Doe, Jane\" <a@b>").
  ///@{
  std::string FullAddress() const;
  void SetFullAddress(const std::string& AValue);
  ///@}

  /// Name, or Email when there is no name.
  std::string GetDisplayName() const;
  /// Empties name and address.
  void Clear();
  /// Copies another item's name and address.
  void Assign(const TPersistent& ASource) override;
  /// The list the item belongs to, or null.
  TqmEmailAddressList* Collection() const { return FCollection; }

  /// The mailbox found in a display text (the contents of angle brackets, or
  /// a run of mailbox characters holding an at sign).
  static std::string ExtractEmail(const std::string& AText);
  /// What is left of the text once the mailbox is taken out, unquoted.
  static std::string ExtractName(const std::string& AText, const std::string& AEmail);

 private:
  friend class TqmEmailAddressList;
  void Changed();

  TqmEmailAddressList* FCollection = nullptr;
  std::string FName;
  std::string FEmail;
  std::string FSeparator = " ";  // between the name and the "<"
};

/// Owns its items, in the order added.
class TqmEmailAddressList : public TPersistent {
 public:
  /// An empty list.
  TqmEmailAddressList() = default;

  /// Appends an empty item.
  TqmEmailAddressItem* Add();
  /// Appends one address parsed from AText ("Name <a@b>" or "a@b"); for
  /// several addresses in one text use SetText().
  TqmEmailAddressItem* AddAddress(const std::string& AText);
  /// Item AIndex (from 0); EListError past the end.
  TqmEmailAddressItem* Items(int AIndex) const;
  /// The number of items.
  int Count() const { return static_cast<int>(FItems.size()); }
  /// Removes item AIndex (from 0); EListError past the end.
  void Delete(int AIndex);
  /// Removes every item.
  void Clear();

  /// Every FullAddress, joined with ", ".
  std::string GetText() const;
  /// Clears the list and adds one item per comma, semicolon or CR separated
  /// piece (a delimiter after exactly one quote character does not split).
  void SetText(const std::string& AText);
  /// Adds every FullAddress to ALines, one per line (after clearing it
  /// when AClearFirst).
  void GetAddresses(TStrings& ALines, bool AClearFirst) const;
  /// Copies another list's items.
  void Assign(const TPersistent& ASource) override;

  /// Told about every change of the list or of one of its items.
  TNotifyEvent OnChanged;

 protected:
  friend class TqmEmailAddressItem;
  /// Raises OnChanged.
  virtual void DoChanged();

 private:
  std::vector<std::unique_ptr<TqmEmailAddressItem>> FItems;
};

/// The FullAddress of an item with this name and address.
std::string BuildFullAddress(const std::string& AName, const std::string& AEmail);
/// True when AText carries a display name. Without one, AName receives the
/// address as well.
bool ParseFullAddress(const std::string& AText, std::string& AName, std::string& AEmail);

/// One mailbox of an address list as written: the display name (quoted
/// strings unquoted and unescaped, comments left out, encoded words still
/// encoded) and the address.
struct TqmMailboxText {
  std::string Name;   ///< The display name; empty when there is none.
  std::string Email;  ///< The address ("local@domain").
};
/// The mailboxes of an address list field value (RFC 5322 section 3.4 and
/// the obsolete forms of section 4.4): separated by ",", ";" or, after a
/// complete mailbox, by white space alone; groups ("Team: a@x, b@y;",
/// "Undisclosed recipients:;") give their members and nothing for the group
/// itself. A comment names a bare address that has no other name
/// ("a@x (Name)"), as older mailers write it.
std::vector<TqmMailboxText> ParseMailboxList(std::string_view AText);

}  // namespace qm
