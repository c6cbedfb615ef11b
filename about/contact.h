#pragma once

// Who made the program and how to reach them, as the About window shows it.
// The project has no public channels yet: the addresses sit under the reserved
// example.org domain until it has. Each text must fit its label in Arial
// (Liberation Sans) 10.5 pt; the About window's test measures them.
namespace Contact {

inline constexpr char kAuthor[] = "Orbelith team";
inline constexpr char kMail[] = "Mail/XMPP: team@example.org";
inline constexpr char kMessenger[] = "IRC: orb@example.org";

} // namespace Contact
