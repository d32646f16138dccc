document.addEventListener('keydown', function (event) {
  if (event.altKey || event.ctrlKey || event.metaKey) return;
  var target = event.target;
  var typing = target.matches('input, select, textarea');
  if (event.key === '/' && !typing) {
    var query = document.querySelector('input[name=q]');
    if (query) { event.preventDefault(); query.focus(); query.select(); }
    return;
  }
  if (event.key !== 'ArrowDown' && event.key !== 'ArrowUp') return;
  if (typing && !(target.name === 'q' && event.key === 'ArrowDown')) return;
  var links = Array.prototype.slice.call(document.querySelectorAll('a.open'));
  if (!links.length) return;
  var at = links.indexOf(document.activeElement);
  var next = event.key === 'ArrowDown' ? Math.min(at + 1, links.length - 1) : Math.max(at - 1, 0);
  event.preventDefault();
  links[next].focus();
  links[next].scrollIntoView({block: 'nearest'});
});
