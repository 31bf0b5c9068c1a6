// GET /hello?name=... answers a line of plain text.
function handle(request) {
  var name = request.query.name || 'world';
  return { status: 200, headers: { 'Content-Type': 'text/plain; charset=utf-8' }, body: 'Hello, ' + name + '!\n' };
}
