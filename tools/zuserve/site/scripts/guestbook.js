// The guestbook: GET shows the form and the entries, newest first; POST
// stores the form's name and message and sends the browser back to the list.
var schema = db.engine === 'mysql'
  ? 'CREATE TABLE IF NOT EXISTS guestbook (id INTEGER PRIMARY KEY AUTO_INCREMENT, name VARCHAR(100) NOT NULL,' +
    ' message TEXT NOT NULL, created VARCHAR(32) NOT NULL) CHARACTER SET utf8mb4'
  : 'CREATE TABLE IF NOT EXISTS guestbook (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,' +
    ' message TEXT NOT NULL, created TEXT NOT NULL)';
db.query(schema);

function escapeHtml(text) {
  return String(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;')
    .replace(/"/g, '&quot;').replace(/'/g, '&#39;');
}

function page(request) {
  var rows = db.query('SELECT name, message, created FROM guestbook ORDER BY id DESC LIMIT 50');
  var items = rows.map(function (row) {
    return '<li><span class="who">' + escapeHtml(row.name) + '</span><span class="when">' +
      escapeHtml(row.created) + '</span><p class="text">' + escapeHtml(row.message) + '</p></li>';
  }).join('\n');
  var note = request.query.error ? '<p class="error">Please give both a name and a message.</p>' : '';
  return '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>Guestbook</title>' +
    '<link rel="stylesheet" href="/style.css"></head><body>' +
    '<header><h1>Guestbook</h1><p class="tag"><a href="/">home</a></p></header>' + note +
    '<form method="post" action="/guestbook">' +
    '<input name="name" placeholder="Your name" maxlength="100" required>' +
    '<textarea name="message" placeholder="Your message" rows="3" maxlength="2000" required></textarea>' +
    '<button type="submit">Sign</button></form>' +
    '<ol class="entries">' + items + '</ol>' +
    '<footer>' + rows.length + (rows.length === 1 ? ' entry' : ' entries') + ' shown</footer></body></html>';
}

function handle(request) {
  if (request.method === 'POST') {
    var name = (request.form.name || '').trim();
    var message = (request.form.message || '').trim();
    if (!name || !message)
      return { status: 303, headers: { Location: '/guestbook?error=1' }, body: '' };
    db.query('INSERT INTO guestbook (name, message, created) VALUES (?, ?, ?)',
             name.slice(0, 100), message.slice(0, 2000), new Date().toISOString().replace('T', ' ').slice(0, 19));
    return { status: 303, headers: { Location: '/guestbook' }, body: '' };
  }
  if (request.method !== 'GET' && request.method !== 'HEAD')
    return { status: 405, headers: { Allow: 'GET, HEAD, POST' }, body: '<h1>405 Method Not Allowed</h1>' };
  return { status: 200, headers: { 'Content-Type': 'text/html; charset=utf-8' }, body: page(request) };
}
